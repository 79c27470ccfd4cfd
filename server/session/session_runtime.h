#pragma once

#include "server/session/agent_info.h"
#include "server/session/agent_log_cursor.h"
#include "server/session/display_search.h"
#include "server/session/session_starter.h"

#include <QDateTime>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>

// The in-memory mirror of one local session: its directory, its display, the agent that runs it and
// what the agent reports. Every session operation works on it; each returns an ErrorCode (0 or a
// negative code) and logs the detail of a failure at Warning.
//
// Not safe for concurrent use: the owner lets one thread at a time work on a session.
class SessionRuntime
{
public:
    SessionRuntime();

    QString path() const;
    quint16 display() const;
    qint32 monitorPid() const; // the launcher's process, which decides whether the session lives
    QString windowMode() const;
    QString name() const;
    bool failed() const;
    QDateTime started() const;
    QDateTime lastConnect() const;
    QDateTime lastDisconnect() const;
    int clients() const;
    QStringList passwords() const;
    QSize screenSize() const;
    bool exited() const;
    int exitCode() const;
    // The batch job the session lives in (its "job" file); empty for any other session.
    QString job() const;
    // Moves on whenever what the getters tell may have changed: equal revisions, equal answers.
    quint64 revision() const { return m_revision; }

    // Who makes the sessions that startAgent starts: recorded with the start (see SessionStarter).
    void setStarter(SessionStarter::Kind kind) { m_starter = kind; }

    // Takes over a session directory that is already on disk.
    int load(const QString &dir);
    // Finds a free display in [firstDisplay, endDisplay), prepares the directory and launches the agent.
    // `claimDisplay`, when given, must also accept the display (see DisplayClaim).
    int startAgent(const QString &dir, quint16 firstDisplay, quint16 endDisplay, const QString &geometry,
                   const QString &command, const DisplayClaim &claimDisplay = {});
    int startApplication(const QString &command);

    // Brings the object up to date with the launcher's process and the agent's socket or log.
    int refresh();
    int sendSignal(int signal);

    // Each repeats refresh until its condition holds; a negative time-out never expires. They look
    // again as soon as the agent writes its log or its launcher ends, and every 50 ms anyway.
    int waitForExit(int timeoutMs);
    int waitForStarted(int timeoutMs);
    int waitForNewPassword(int timeoutMs);
    int waitForDisconnect(int timeoutMs);

    bool queryAgentInfo(const QString &socketPath, QString &error);
    // Applies the lines that the log gained since the previous parse.
    bool parseAgentLog(const QString &logPath, QString &error);

private:
    void reset(const QString &dir, quint16 displayNumber, qint32 launcherPid, const QString &mode,
               const QString &sessionName);
    QString sessionFile(const QString &fileName) const;
    void updateAgentInfo();
    int waitUntil(int timeoutMs, const std::function<bool()> &reached);

    QString m_path;
    quint16 m_display = 0;
    qint32 m_monitorPid = 0;
    QString m_windowMode;
    QString m_name;
    AgentLogCursor m_logCursor; // how far "server_log" has been applied
    bool m_failed = false;
    AgentInfo m_info;
    bool m_exited = false;
    int m_exitCode = -1;
    QString m_job;
    SessionStarter::Kind m_starter = SessionStarter::Server;
    quint64 m_revision = 0;
};

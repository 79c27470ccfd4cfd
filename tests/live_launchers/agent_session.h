#pragma once

#include "tests/support/test_environment.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// One session directory prepared the way lumen_server prepares it (a free display, an "authority"
// file with one cookie for "unix:<d>" and "<host>:<d>"), with "start-agent" started in it. The
// destructor ends whatever is still running, so a failed test leaves no X server behind.
class AgentSession
{
public:
    explicit AgentSession(const TestEnvironment &environment);
    ~AgentSession();

    // Picks a display from 160 to 199 that nothing on the machine uses and prepares the directory.
    bool prepare(QString &error);
    bool start(const QStringList &arguments, QString &error);
    bool start(const QString &geometry, QString &error) { return start({geometry, QString::number(port())}, error); }
    // start() followed by waiting for "RDP initialized at" in "server_log".
    bool startAndWaitUntilUp(const QString &geometry, QString &error);

    int display() const { return displayNumber; }
    quint16 port() const { return quint16(41000 + displayNumber); }
    QString directory() const { return sessionDir; }
    QString file(const QString &name) const { return sessionDir + "/" + name; }
    QString readFile(const QString &name) const;
    qint64 launcherPid() const { return pid; }
    QString cookie() const { return authorityCookie; }
    QString infoSocketPath() const { return QStringLiteral("/tmp/Xrdp_%1.sock").arg(displayNumber); }
    QString lockFilePath() const { return QStringLiteral("/tmp/.X%1-lock").arg(displayNumber); }
    QString xSocketPath() const { return QStringLiteral("/tmp/.X11-unix/X%1").arg(displayNumber); }
    // The X server's pid as its lock file records it, 0 when there is none.
    qint64 xServerPid() const;

    QStringList logLines() const;
    // Waits for a "server_log" line matching the whole pattern; returns the first such line or "".
    QString waitForLogLine(const QString &pattern, int timeoutMs = 15000) const;
    int countLogLines(const QString &pattern) const;

    // One answer of the information socket; an empty object when there was none.
    QJsonObject info(QString *error = nullptr) const;
    bool signalAgent(int signalNumber) const;  // to the pid in "server_pid"
    bool waitForLauncherEnd(int timeoutMs) const;

    // Runs an X client against this display with the given display name and authority file.
    int runXClient(const QString &program, const QStringList &arguments, const QString &displayName,
                   const QString &authorityFile, QString *output = nullptr) const;
    int runStartApp(const QStringList &arguments, int timeoutMs = 10000) const;

    static bool isAlive(qint64 pid);

private:
    const TestEnvironment &environment;
    QString sessionDir;
    QString authorityCookie;
    int displayNumber = -1;
    qint64 pid = 0;
};

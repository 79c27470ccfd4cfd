#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_entry.h"
#include "client/batch/slurm_job.h"

#include <QElapsedTimer>
#include <QObject>

class InterruptWatcher;
class RemoteCommand;
class RpcConnection;

// Waits for the session of a batch job to appear in the list of the login host that the job was
// submitted on: shows the job's state, reason and waiting time meanwhile; tells why when the job
// ends without a session; cancels the job when interrupted (Ctrl+C).
class JobWait : public QObject
{
    Q_OBJECT

public:
    JobWait(RpcConnection &host, InterruptWatcher &interrupts, const QString &jobId, const QString &sessionId);

    // The session's entry once it is listed; else the error to end with.
    bool wait(SessionEntry &entry, ClientError &error);

    // The line shown while the job waits: "job 4711 pending (Resources) 0:42".
    static QString statusLine(const QString &jobId, const SlurmJob &job, qint64 waitedMs);
    // The message for a job that ended without its session, from JobEnd's output.
    static QString endedText(const QString &jobId, const QString &jobEndOutput);

private:
    enum Poll { Listed, Gone, Unknown };

    Poll pollJob(SlurmJob &job);
    bool sessionListed(SessionEntry &entry);
    // Pauses between two looks at the queue; ends early for an interruption, a change of the
    // list that names the session, or the connection's end.
    void pause(int ms);
    bool runOnHost(const QString &commandLine, int timeoutMs, QByteArray &output, int &status);
    ClientError cancel();
    ClientError ended();
    void show(const QString &line);
    void endLine();

    RpcConnection &host;
    InterruptWatcher &interrupts;
    QString jobId;
    QString sessionId;
    RemoteCommand *running = nullptr;
    bool interrupted = false;
    bool listChanged = false;
    bool onTerminal = false;
    bool lineOpen = false;
    QString lastShown;
    QElapsedTimer waited;
};

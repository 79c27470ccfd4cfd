#pragma once

#include "job/job_options.h"
#include "job/job_session.h"
#include "job/node_server.h"

#include <QFutureWatcher>
#include <QObject>
#include <QProcessEnvironment>
#include <QTimer>

class QSocketNotifier;

// The life of one desktop job: make the session, keep a server on the node while it runs, and end
// the two together. Slurm's warning before the time limit (USR1), scancel or the limit (TERM) and a
// hang-up end the session with the agent's own stop; the session's end, whatever its cause, ends
// the job with the agent's status. The slow parts run on worker threads; this object, on the main
// thread, only reacts.
class BatchJob : public QObject
{
    Q_OBJECT

public:
    BatchJob(const ServerSettings &settings, const JobOptions &options, const QString &jobId,
             const QProcessEnvironment &serverEnvironment, QObject *parent = nullptr);
    ~BatchJob() override;

    void begin();

public slots:
    void requestStop(const QString &reason);

signals:
    void finished(int status);

private slots:
    void Start_finished();
    void Stop_finished();
    void Agent_ended();
    void Reaper_timeout();

private:
    enum class Phase { Idle, Starting, Running, Stopping, Done };

    void stopSession();
    void finish(int status);
    void end(int status);

    const JobOptions options;
    const QString jobId;
    JobSession session;
    NodeServer server;
    Phase phase = Phase::Idle;
    bool stopWanted = false;
    bool startFailed = false;
    QFutureWatcher<int> startWatcher;
    QFutureWatcher<int> stopWatcher;
    qint32 launcher = 0;
    int launcherFd = -1;
    QSocketNotifier *agentEnded = nullptr;
    QTimer reaper;
};

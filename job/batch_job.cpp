#include "job/batch_job.h"

#include "common/logging.h"
#include "job/orphan_reaper.h"
#include "server/manager/session_manager.h"
#include "server/session/error_code.h"
#include "server/session/session_stage.h"
#include "server/session/pidfd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QtConcurrent>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Within Slurm's KillWait (30 s unless the site sets it), which ends the job's processes anyway.
constexpr int stopTimeoutMs = 20000;
constexpr int serverStopMs = 5000;
// How long the server may take to clear away a session that ended, and then to answer and announce.
constexpr int serverDoneMs = 5000;
constexpr int serverGraceMs = 1000;
// How long an agent that could not be told to stop may take to end by itself.
constexpr int agentGraceMs = 3000;
// Children that end on their own (an application's helpers) are collected this often.
constexpr int reapIntervalMs = 5000;

QString describe(int code)
{
    const QString text = errorMessage(code);
    return text.isEmpty() ? QString::number(code) : QStringLiteral("%1 (%2)").arg(text).arg(code);
}
} // namespace

BatchJob::BatchJob(const ServerSettings &settings, const JobOptions &options, const QString &jobId,
                   const QProcessEnvironment &serverEnvironment, QObject *parent)
    : QObject(parent)
    , options(options)
    , jobId(jobId)
    , session(settings, options.sessionId(), jobId)
    , server(NodeServer::defaultProgram(), serverEnvironment, settings.pidPath)
{
    connect(&startWatcher, &QFutureWatcher<int>::finished, this, &BatchJob::Start_finished);
    connect(&stopWatcher, &QFutureWatcher<int>::finished, this, &BatchJob::Stop_finished);
    connect(&reaper, &QTimer::timeout, this, &BatchJob::Reaper_timeout);
}

BatchJob::~BatchJob()
{
    // The workers use the session.
    startWatcher.waitForFinished();
    stopWatcher.waitForFinished();
    delete agentEnded;
    if (launcherFd >= 0) {
        ::close(launcherFd);
    }
}

void BatchJob::begin()
{
    if (stopWanted) {
        finish(1); // cancelled before anything was started
        return;
    }
    phase = Phase::Starting;
    logMessage(Logging::Info, QStringLiteral("Starting session %1 in job %2").arg(options.sessionId(), jobId));
    startWatcher.setFuture(QtConcurrent::run([this] { return session.start(options.geometry(), options.command()); }));
}

void BatchJob::Start_finished()
{
    const int code = startWatcher.result();
    launcher = session.launcherPid();
    if (code != NoError) {
        logMessage(Logging::Critical, QStringLiteral("Failed to start the session: %1").arg(describe(code)));
        startFailed = true;
    }
    if (launcher > 0) {
        launcherFd = pidfdOpen(launcher);
    }
    if (launcherFd < 0) {
        // No agent to wait for: nothing of the session runs.
        finish(1);
        return;
    }
    agentEnded = new QSocketNotifier(launcherFd, QSocketNotifier::Read, this);
    connect(agentEnded, &QSocketNotifier::activated, this, &BatchJob::Agent_ended);
    phase = Phase::Running;
    reaper.start(reapIntervalMs);
    if (startFailed || stopWanted) {
        stopSession();
        return;
    }
    logMessage(Logging::Info, QStringLiteral("Session %1 runs on display %2").arg(options.sessionId()).arg(session.display()));
    // Once the session is complete, so that a server started now finds it at its start.
    server.ensure();
}

void BatchJob::requestStop(const QString &reason)
{
    logMessage(Logging::Info, QStringLiteral("Ending the session: %1").arg(reason));
    stopWanted = true;
    server.hold();
    if (phase == Phase::Running) {
        stopSession();
    }
}

void BatchJob::stopSession()
{
    phase = Phase::Stopping;
    // Slurm signals every process of the job at once: an agent that is already gone needs no stop.
    pollfd ended = {launcherFd, POLLIN, 0};
    if (::poll(&ended, 1, 0) > 0) {
        return;
    }
    stopWatcher.setFuture(QtConcurrent::run([this] { return session.stop(stopTimeoutMs); }));
}

void BatchJob::Stop_finished()
{
    const int code = stopWatcher.result();
    if (code == NoError || phase != Phase::Stopping) {
        return; // the agent's end decides
    }
    // Slurm signals every process of the job at once: the agent may be on its way out already,
    // and its end, not this failure, then decides.
    QTimer::singleShot(agentGraceMs, this, [this, code] {
        if (phase == Phase::Stopping) {
            logMessage(Logging::Warning, QStringLiteral("The session did not end on request: %1").arg(describe(code)));
            finish(1); // Slurm ends whatever is left after its KillWait
        }
    });
}

void BatchJob::Agent_ended()
{
    if (phase == Phase::Done) {
        return;
    }
    agentEnded->setEnabled(false);
    ::waitpid(launcher, nullptr, WNOHANG); // a child of lumen-job since its own parent ended
    int status = -1;
    if (!session.exitStatus(status)) {
        // A server removes a session's directory only after its agent ended cleanly; it may be
        // half-way through (marked, or emptied and not yet gone).
        const QString directory = session.directory();
        const bool removedByServer = !QFileInfo::exists(directory)
            || SessionStage::read(directory) == SessionStage::Removing
            || QDir(directory).isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
        if (removedByServer) {
            finish(startFailed ? 1 : 0);
            return;
        }
        logMessage(Logging::Warning, QStringLiteral("The agent ended without leaving its status"));
        finish(1);
        return;
    }
    logMessage(Logging::Info, QStringLiteral("The session ended with status %1").arg(status));
    if (status != 0) {
        // Kept, as the server keeps it, for a look at what went wrong.
        finish(status > 0 && status < 126 ? status : 1);
        return;
    }
    finish(startFailed ? 1 : 0);
}

void BatchJob::Reaper_timeout()
{
    if (phase != Phase::Starting) {
        OrphanReaper::reap({server.launcherPid()});
    }
}

void BatchJob::finish(int status)
{
    phase = Phase::Done;
    reaper.stop();
    // A session that ended on its own was most likely ended through the server ("Live.Terminate"),
    // which answers once it has cleared the session away: the server this job started must live
    // that long, and one more update to tell its peers. Slurm ends it anyway when the job ends.
    if (!stopWanted && server.isOwnRunning()) {
        QElapsedTimer waited;
        waited.start();
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this, poll, waited, status] {
            if (QFileInfo::exists(session.directory()) && waited.elapsed() < serverDoneMs) {
                return;
            }
            poll->deleteLater();
            QTimer::singleShot(serverGraceMs, this, [this, status] { end(status); });
        });
        poll->start(100);
        return;
    }
    end(status);
}

void BatchJob::end(int status)
{
    // Stopped first, so that at most another job's server still looks at the directory.
    server.stop(serverStopMs);
    int agentStatus = -1;
    const bool ended = session.exitStatus(agentStatus) && agentStatus == 0;
    // A start that failed before its agent ran leaves a directory nobody else will take over.
    if (ended || (startFailed && launcherFd < 0 && session.madeDirectory())) {
        QString error;
        // Another job's server may be removing it at the same time: the removal takes that in its stride.
        if (!SessionManager::removeSessionDirectory(session.directory(), error)) {
            logMessage(Logging::Warning, error);
        }
    }
    OrphanReaper::reap();
    emit finished(status);
}

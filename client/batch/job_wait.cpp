#include "client/batch/job_wait.h"

#include "client/command_line/console.h"
#include "client/command_line/interrupt_watcher.h"
#include "client/host/remote_command.h"
#include "client/host/rpc_connection.h"
#include "client/sessions/session_catalog.h"
#include "client/batch/slurm_commands.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int pollIntervalMs = 3000;
// A Slurm command runs under `timeout 30` on the host; ssh may take its own time on top.
constexpr int commandTimeoutMs = 45000;
// Once the job runs: an X server's start and the login host's query of the node.
constexpr int appearTimeoutMs = 120000;
// After scancel, until squeue no longer lists the job (a running job stops its session first).
constexpr int cancelWaitMs = 15000;
constexpr int cancelPollMs = 500;
// A connection that ends may be Ctrl+C reaching ssh before it reaches lumen.
constexpr int interruptGraceMs = 500;

QString minutesAndSeconds(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

bool namesSession(const Json::Value &records, const QString &id)
{
    if (!records.isArray()) {
        return false;
    }
    for (const Json::Value &record : records) {
        if (record.isObject() && record["id"].isString() && QString::fromStdString(record["id"].asString()) == id) {
            return true;
        }
    }
    return false;
}

} // namespace

JobWait::JobWait(RpcConnection &host, InterruptWatcher &interrupts, const QString &jobId, const QString &sessionId)
    : host(host)
    , interrupts(interrupts)
    , jobId(jobId)
    , sessionId(sessionId)
    , onTerminal(::isatty(STDERR_FILENO) == 1)
{
    connect(&interrupts, &InterruptWatcher::interrupted, this, [this] {
        interrupted = true;
        if (running != nullptr) {
            running->stop();
        }
    });
    connect(&host, &RpcConnection::notificationReceived, this, [this](const QString &method, const Json::Value &params) {
        if (method == QLatin1String("UpdateSessions") && namesSession(params, this->sessionId)) {
            listChanged = true;
        }
    });
    waited.start();
}

bool JobWait::wait(SessionEntry &entry, ClientError &error)
{
    QElapsedTimer sinceRunning;
    for (;;) {
        SlurmJob job;
        const Poll poll = pollJob(job);
        if (interrupted) {
            endLine();
            error = cancel();
            return false;
        }
        if (poll == Gone) {
            // A session that appeared just before the job ended is gone with it.
            endLine();
            error = ended();
            return false;
        }
        if (poll == Listed) {
            show(statusLine(jobId, job, waited.elapsed()));
        }
        if ((poll == Listed && !job.isPending()) || listChanged) {
            if (!sinceRunning.isValid()) {
                sinceRunning.start();
            }
            if (sessionListed(entry)) {
                endLine();
                return true;
            }
            if (interrupted) {
                endLine();
                error = cancel();
                return false;
            }
            if (sinceRunning.elapsed() > appearTimeoutMs) {
                endLine();
                QByteArray output;
                int status = 0;
                runOnHost(SlurmCommands::jobEnd(jobId), commandTimeoutMs, output, status);
                const QString log = QString::fromUtf8(output).section(SlurmCommands::separator(), 1).trimmed();
                error = ClientError(ClientError::Refused,
                                    QStringLiteral("job %1 runs on %2 but its session did not appear%3\nThe job goes on: "
                                                   "attach later with lumen %4 attach %5, or end it with lumen %4 "
                                                   "terminate %1")
                                        .arg(jobId, job.node().isEmpty() ? QStringLiteral("a node") : job.node(),
                                             log.isEmpty() ? QStringLiteral(".") : QStringLiteral(":\n") + log,
                                             host.target().name(), sessionId.left(8)));
                return false;
            }
        }
        if (!host.isOpen()) {
            pause(interruptGraceMs);
            endLine();
            if (interrupted) {
                error = cancel();
                return false;
            }
            error = ClientError(ClientError::Unreachable,
                                QStringLiteral("The connection to %1 ended while job %2 waited; the job stays. See it "
                                               "with lumen %1 list, cancel it with lumen %1 terminate %2. %3")
                                    .arg(host.target().name(), jobId, host.endReason()));
            return false;
        }
        listChanged = false;
        pause(pollIntervalMs);
    }
}

QString JobWait::statusLine(const QString &jobId, const SlurmJob &job, qint64 waitedMs)
{
    QString line = QStringLiteral("job %1 %2").arg(jobId, job.state().toLower());
    if (job.isRunning() && !job.node().isEmpty()) {
        line += QStringLiteral(" on %1, starting the session").arg(job.node());
    } else if (!job.reason().isEmpty()) {
        line += QStringLiteral(" (%1)").arg(job.reason());
    }
    return line + QLatin1Char(' ') + minutesAndSeconds(waitedMs);
}

QString JobWait::endedText(const QString &jobId, const QString &jobEndOutput)
{
    const QString details = jobEndOutput.section(SlurmCommands::separator(), 0, 0).trimmed();
    const QString log = jobEndOutput.section(SlurmCommands::separator(), 1).trimmed();
    const QString state = SlurmJob::valueOf(details, QStringLiteral("JobState"));
    const QString exitCode = SlurmJob::valueOf(details, QStringLiteral("ExitCode"));
    QString how = state.isEmpty() ? QStringLiteral("ended") : QStringLiteral("ended (%1").arg(state);
    if (!state.isEmpty()) {
        // ExitCode=status:signal
        const QString status = exitCode.section(QLatin1Char(':'), 0, 0);
        const QString signal = exitCode.section(QLatin1Char(':'), 1, 1);
        if (!signal.isEmpty() && signal != QLatin1String("0")) {
            how += QStringLiteral(", signal %1").arg(signal);
        } else if (!status.isEmpty()) {
            how += QStringLiteral(", exit %1").arg(status);
        }
        how += QLatin1Char(')');
    }
    QString text = QStringLiteral("Job %1 %2 before its session appeared").arg(jobId, how);
    if (!log.isEmpty()) {
        return text + QStringLiteral(":\n") + log;
    }
    // The user's own --output puts the log elsewhere; scontrol names it.
    const QString stdOut = SlurmJob::valueOf(details, QStringLiteral("StdOut"));
    return text + (stdOut.isEmpty() ? QStringLiteral(".") : QStringLiteral("; its output is in %1 on the host.").arg(stdOut));
}

JobWait::Poll JobWait::pollJob(SlurmJob &job)
{
    QByteArray output;
    int status = 0;
    if (!runOnHost(SlurmCommands::job(jobId), commandTimeoutMs, output, status)) {
        return Unknown;
    }
    const SlurmJobList jobs = SlurmJob::fromQueue(QString::fromUtf8(output));
    for (const SlurmJob &listed : jobs) {
        if (listed.id() == jobId) {
            job = listed;
            return Listed;
        }
    }
    // squeue lists an ended job no more (status 0), or, once Slurm forgot it, refuses its id.
    return status == 0 || status == 1 ? Gone : Unknown;
}

bool JobWait::sessionListed(SessionEntry &entry)
{
    SessionCatalog catalog;
    ClientError ignored;
    return catalog.load(host, ignored) && catalog.find(sessionId, entry, ignored);
}

void JobWait::pause(int ms)
{
    if (interrupted || listChanged) {
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
    connect(&host, &RpcConnection::ended, &loop, &QEventLoop::quit);
    connect(&host, &RpcConnection::notificationReceived, &loop, [&] {
        if (listChanged) {
            loop.quit();
        }
    });
    loop.exec();
}

bool JobWait::runOnHost(const QString &commandLine, int timeoutMs, QByteArray &output, int &status)
{
    RemoteCommand command(host.hostCommands().shell(commandLine));
    running = &command;
    const RemoteCommand::Outcome outcome = command.run(QByteArray(), timeoutMs);
    running = nullptr;
    output = command.output();
    status = command.exitCode();
    // 255: ssh could not reach the host.
    return outcome == RemoteCommand::Finished && status != 255 && status != SlurmCommands::timedOut;
}

ClientError JobWait::cancel()
{
    interrupted = false;
    const auto stillQueued = [this] {
        return ClientError(ClientError::Interrupted, QStringLiteral("job %1 may still be queued: scancel %1 on %2")
                                                         .arg(jobId, host.target().name()));
    };
    Console::progress(QStringLiteral("Interrupted: cancelling job %1 on %2 (Ctrl+C once more leaves it)...")
                          .arg(jobId, host.target().name()));
    QByteArray output;
    int status = 0;
    if (!runOnHost(SlurmCommands::cancel(jobId), commandTimeoutMs, output, status) || status != 0) {
        return interrupted ? stillQueued()
                           : ClientError(ClientError::Interrupted,
                                         QStringLiteral("Interrupted; job %1 could not be cancelled: scancel %1 on %2")
                                             .arg(jobId, host.target().name()));
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        SlurmJob job;
        const Poll poll = pollJob(job);
        if (interrupted) {
            return stillQueued();
        }
        if (poll == Gone) {
            return ClientError(ClientError::Interrupted,
                               QStringLiteral("Cancelled job %1; nothing was left on %2.").arg(jobId, host.target().name()));
        }
        if (clock.elapsed() > cancelWaitMs) {
            return ClientError(ClientError::Interrupted,
                               QStringLiteral("Cancelled job %1; Slurm is still ending it on %2.")
                                   .arg(jobId, host.target().name()));
        }
        QEventLoop loop;
        QTimer::singleShot(cancelPollMs, &loop, &QEventLoop::quit);
        connect(&interrupts, &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

ClientError JobWait::ended()
{
    QByteArray output;
    int status = 0;
    runOnHost(SlurmCommands::jobEnd(jobId), commandTimeoutMs, output, status);
    return ClientError(ClientError::Refused, endedText(jobId, QString::fromUtf8(output)));
}

void JobWait::show(const QString &line)
{
    if (onTerminal) {
        const QByteArray bytes = (QStringLiteral("\r\033[K") + line).toLocal8Bit();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
        lineOpen = true;
        return;
    }
    // Elsewhere (a log, a pipe) a line only when the state or the reason changes.
    const QString withoutTime = line.section(QLatin1Char(' '), 0, -2);
    if (withoutTime != lastShown) {
        Console::progress(line);
        lastShown = withoutTime;
    }
}

void JobWait::endLine()
{
    if (lineOpen) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        lineOpen = false;
    }
}

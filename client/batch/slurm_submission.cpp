#include "client/batch/slurm_submission.h"

#include "client/command_line/interrupt_watcher.h"
#include "client/host/remote_command.h"
#include "client/batch/slurm_commands.h"

#include <QRegularExpression>

namespace {

// sbatch itself waits at most 30 s (timeout on the host); ssh may take its own time on top.
constexpr int submitTimeoutMs = 60000;

} // namespace

SlurmSubmission::SlurmSubmission(const HostCommands &commands, const QString &hostName, InterruptWatcher &interrupts)
    : commands(commands)
    , hostName(hostName)
    , interrupts(interrupts)
{
}

bool SlurmSubmission::submit(const QString &sessionId, const QString &geometry, const QString &command,
                             const QStringList &sbatchOptions, QString &jobId, ClientError &error)
{
    RemoteCommand sbatch(commands.shell(SlurmCommands::submit(sessionId, sbatchOptions)));
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &sbatch, &RemoteCommand::stop);
    const RemoteCommand::Outcome outcome = sbatch.run(SlurmCommands::script(sessionId, geometry, command), submitTimeoutMs);
    const QString shortId = sessionId.left(8);
    if (outcome == RemoteCommand::Stopped) {
        error = ClientError(ClientError::Interrupted,
                            QStringLiteral("Interrupted while the job was submitted; if it was, squeue --me on %1 lists "
                                           "it as lumen-%2: end it with lumen %1 terminate JOBID")
                                .arg(hostName, shortId));
        return false;
    }
    if (outcome == RemoteCommand::FailedToStart) {
        error = ClientError(ClientError::Usage, QStringLiteral("ssh could not be run: is openssh-client installed?"));
        return false;
    }
    if (outcome == RemoteCommand::TimedOut || sbatch.exitCode() == SlurmCommands::timedOut) {
        error = ClientError(ClientError::Refused, QStringLiteral("Slurm on %1 did not answer the submission within "
                                                                 "half a minute; if a job lumen-%2 appears in squeue "
                                                                 "--me there, end it with scancel.")
                                                      .arg(hostName, shortId));
        return false;
    }
    if (sbatch.exitCode() == 255) {
        error = ClientError(ClientError::Unreachable,
                            QStringLiteral("%1 could not be reached to submit the job: %2").arg(hostName, sbatch.lastErrorLine()));
        return false;
    }
    if (sbatch.exitCode() == SlurmCommands::noSbatch) {
        error = ClientError(ClientError::Refused,
                            QStringLiteral("%1 has no Slurm: sbatch is not installed there. Submit from the cluster's "
                                           "login host, or start without --slurm.")
                                .arg(hostName));
        return false;
    }
    // --parsable: "<id>" or "<id>;<cluster>".
    const QString answer = QString::fromUtf8(sbatch.output()).trimmed().section(QLatin1Char(';'), 0, 0);
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    if (sbatch.exitCode() != 0 || !digits.match(answer).hasMatch()) {
        const QString reason = sbatch.errorLines();
        error = ClientError(ClientError::Refused, QStringLiteral("Slurm on %1 refused the job: %2")
                                                      .arg(hostName, reason.isEmpty() ? QStringLiteral("sbatch ended with status %1").arg(sbatch.exitCode())
                                                                                      : reason));
        return false;
    }
    jobId = answer;
    return true;
}

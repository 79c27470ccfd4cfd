#include "client/batch/slurm_commands.h"

#include "client/command_line/shell_words.h"

namespace {

// The squeue fields that SlurmJob reads.
const QString queueFormat = QStringLiteral("'%i|%j|%T|%r|%L|%N'");
// Slurm sends this signal to lumen-job two minutes before the time limit (up to half a minute
// late), so that the session can end cleanly first.
const QString warning = QStringLiteral("--signal=B:USR1@120");
constexpr int logLines = 20;
constexpr int logBytes = 4096;

} // namespace

QString SlurmCommands::submit(const QString &sessionId, const QStringList &userOptions)
{
    // The job's name comes last, so that it is always lumen's: lumen knows its jobs by it.
    return QStringLiteral("command -v sbatch >/dev/null 2>&1 || exit %1; "
                          "mkdir -p \"$HOME/.lumen_server/jobs\" && "
                          "timeout 30 sbatch --parsable %2 --output=\"$HOME/.lumen_server/jobs/lumen-%j.log\"")
               .arg(noSbatch)
               .arg(warning)
        + (userOptions.isEmpty() ? QString() : QLatin1Char(' ') + shellCommand(userOptions))
        + QStringLiteral(" --job-name=lumen-") + sessionId.left(8)
        // sbatch ends with 255 on a bad option, which would read as ssh's own failure.
        + QStringLiteral("; status=$?; [ $status -ne 255 ] || status=1; exit $status");
}

QByteArray SlurmCommands::script(const QString &sessionId, const QString &geometry, const QString &command)
{
    return QStringLiteral("#!/bin/sh\nexec lumen-job --id %1 --geometry %2 -- %3\n")
        .arg(sessionId, shellWord(geometry), shellWord(command))
        .toUtf8();
}

QString SlurmCommands::job(const QString &jobId)
{
    return QStringLiteral("timeout 30 squeue -h -j %1 -o %2").arg(shellWord(jobId), queueFormat);
}

QString SlurmCommands::userJobs()
{
    return QStringLiteral("command -v squeue >/dev/null 2>&1 && timeout 10 squeue --me -h -o %1").arg(queueFormat);
}

QString SlurmCommands::cancel(const QString &jobId)
{
    return QStringLiteral("timeout 30 scancel %1").arg(shellWord(jobId));
}

QString SlurmCommands::jobEnd(const QString &jobId)
{
    return QStringLiteral("timeout 30 scontrol show job -o %1 2>/dev/null; echo %2; "
                          "tail -c %3 %4 2>/dev/null | tail -n %5")
        .arg(shellWord(jobId), separator())
        .arg(logBytes)
        .arg(logPath(jobId))
        .arg(logLines);
}

QString SlurmCommands::logPath(const QString &jobId)
{
    return QStringLiteral("\"$HOME/.lumen_server/jobs/lumen-%1.log\"").arg(jobId);
}

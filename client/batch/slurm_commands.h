#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The command lines that lumen runs on a login host for Slurm, through ssh, for the host's login
// shell. Every value from the user is quoted, never run as shell syntax; every Slurm command runs
// under a time limit (a Slurm without configuration may look for its controller in the DNS for a
// minute).
class SlurmCommands
{
public:
    // The status of the submission when the host has no sbatch.
    static constexpr int noSbatch = 127;
    // The status of a command that `timeout` ended.
    static constexpr int timedOut = 124;

    // Submits the batch script (given on standard input): lumen's own options first, the user's
    // after them (the last of a repeated option wins), but the job's name last. Prints the job id.
    static QString submit(const QString &sessionId, const QStringList &userOptions);
    // The batch script: lumen-job runs the session inside the job.
    static QByteArray script(const QString &sessionId, const QString &geometry, const QString &command);
    // The job, one line as SlurmJob reads it; nothing once the job has ended.
    static QString job(const QString &jobId);
    // Every job of the user, one line each; fails without a word where there is no squeue.
    static QString userJobs();
    static QString cancel(const QString &jobId);
    // What Slurm remembers of the job (scontrol's one line), a separator line, and the last lines
    // of the job's log.
    static QString jobEnd(const QString &jobId);
    static QString separator() { return QStringLiteral("--lumen-job-log--"); }
    // Where the job's output goes, on the host.
    static QString logPath(const QString &jobId);
};

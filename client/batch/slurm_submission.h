#pragma once

#include "client/command_line/client_error.h"
#include "client/host/host_commands.h"

#include <QObject>
#include <QStringList>

class InterruptWatcher;

// Submits the batch job of a new session on a login host, through the host's connection: the job
// runs lumen-job, which starts the session on the node the job gets.
class SlurmSubmission
{
public:
    SlurmSubmission(const HostCommands &commands, const QString &hostName, InterruptWatcher &interrupts);

    // The job's id; else the error to end with (HOST without Slurm, sbatch's refusal, ...).
    bool submit(const QString &sessionId, const QString &geometry, const QString &command,
                const QStringList &sbatchOptions, QString &jobId, ClientError &error);

private:
    HostCommands commands;
    QString hostName;
    InterruptWatcher &interrupts;
};

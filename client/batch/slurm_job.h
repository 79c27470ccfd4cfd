#pragma once

#include <QList>
#include <QString>

// One job of the user as Slurm's squeue lists it (the format SlurmCommands asks for), or as
// scontrol describes one that has ended.
class SlurmJob
{
public:
    // A line "%i|%j|%T|%r|%L|%N"; false for anything else.
    static bool fromQueueLine(const QString &line, SlurmJob &job);
    // Every line of squeue's output that holds a job; the others are passed over.
    static QList<SlurmJob> fromQueue(const QString &output);
    // One value of scontrol's "Key=value Key=value" line, empty when absent.
    static QString valueOf(const QString &scontrolLine, const QString &key);

    QString id() const { return jobId; }
    QString name() const { return jobName; }
    // PENDING, RUNNING, COMPLETING, ...
    QString state() const { return jobState; }
    bool isPending() const { return jobState == QLatin1String("PENDING"); }
    bool isRunning() const { return jobState == QLatin1String("RUNNING"); }
    // Why the job waits; empty when squeue says "None".
    QString reason() const { return why; }
    // The time left as squeue gives it ("1:58:02", "UNLIMITED"); "-" once the limit has passed.
    QString timeLeft() const { return left; }
    // The node the job runs on; empty while it waits.
    QString node() const { return nodes; }

    // A job that lumen submitted is named lumen-<the first 8 digits of its session's id>.
    bool isLumenJob() const;
    QString sessionIdStart() const;

private:
    QString jobId;
    QString jobName;
    QString jobState;
    QString why;
    QString left;
    QString nodes;
};

using SlurmJobList = QList<SlurmJob>;

#pragma once

#include "client/sessions/session_entry.h"
#include "client/batch/slurm_job.h"

#include <QHash>
#include <QSet>
#include <json/value.h>

// The user's batch jobs on a login host beside its session list: which session lives in which
// job, and the jobs whose session is not listed yet (waiting, or starting).
class SessionJobs
{
public:
    SessionJobs() = default;
    // `records` as the server sent them (a record of a batch session carries "job"), `queue` the
    // user's jobs as squeue lists them.
    SessionJobs(const Json::Value &records, const SlurmJobList &queue);

    // Whether any session or job has a job to show.
    bool any() const { return !bySession.isEmpty() || !unlisted.isEmpty(); }
    // The job of a session: its id and, while squeue lists it, its state and time left; an empty
    // id for a session outside any job.
    SlurmJob jobOf(const QString &sessionId) const;
    // lumen's jobs without a listed session.
    const SlurmJobList &waiting() const { return unlisted; }
    // lumen's job of that id, listed by squeue.
    bool findJob(const QString &jobId, SlurmJob &job) const;

    // The records with "job", "jobState" and "timeLeft" added to those of batch sessions, and one
    // object with only those three for each waiting job.
    Json::Value annotate(const Json::Value &records) const;

private:
    QHash<QString, SlurmJob> bySession;
    SlurmJobList unlisted;
    SlurmJobList lumenJobs;
};

#include "client/sessions/session_jobs.h"

namespace {

QString stringMember(const Json::Value &record, const char *name)
{
    const Json::Value &value = record[name];
    return value.isString() ? QString::fromStdString(value.asString()) : QString();
}

// A job that squeue does not list (any more, or squeue failed): its id alone.
SlurmJob unlistedJob(const QString &id)
{
    SlurmJob job;
    SlurmJob::fromQueueLine(id + QStringLiteral("|||||"), job);
    return job;
}

void addJob(Json::Value &object, const SlurmJob &job)
{
    object["job"] = job.id().toStdString();
    if (!job.state().isEmpty()) {
        object["jobState"] = job.state().toLower().toStdString();
        object["timeLeft"] = job.timeLeft().toStdString();
    }
}

} // namespace

SessionJobs::SessionJobs(const Json::Value &records, const SlurmJobList &queue)
{
    // A record that names its job joins it whatever the job's name.
    QHash<QString, SlurmJob> byId;
    for (const SlurmJob &job : queue) {
        byId.insert(job.id(), job);
        if (job.isLumenJob()) {
            lumenJobs << job;
        }
    }
    QSet<QString> joined;
    if (records.isArray()) {
        for (const Json::Value &record : records) {
            if (!record.isObject()) {
                continue;
            }
            const QString id = stringMember(record, "id");
            const QString jobId = stringMember(record, "job");
            if (id.isEmpty()) {
                continue;
            }
            if (!jobId.isEmpty()) {
                bySession.insert(id, byId.contains(jobId) ? byId.value(jobId) : unlistedJob(jobId));
                joined.insert(jobId);
                continue;
            }
            // A node's server that does not tell the job: the job's name holds the session's id.
            for (const SlurmJob &job : std::as_const(lumenJobs)) {
                if (!joined.contains(job.id()) && id.startsWith(job.sessionIdStart(), Qt::CaseInsensitive)) {
                    bySession.insert(id, job);
                    joined.insert(job.id());
                    break;
                }
            }
        }
    }
    for (const SlurmJob &job : std::as_const(lumenJobs)) {
        if (!joined.contains(job.id())) {
            unlisted << job;
        }
    }
}

SlurmJob SessionJobs::jobOf(const QString &sessionId) const
{
    return bySession.value(sessionId);
}

bool SessionJobs::findJob(const QString &jobId, SlurmJob &job) const
{
    for (const SlurmJob &candidate : lumenJobs) {
        if (candidate.id() == jobId) {
            job = candidate;
            return true;
        }
    }
    return false;
}

Json::Value SessionJobs::annotate(const Json::Value &records) const
{
    Json::Value annotated(Json::arrayValue);
    if (records.isArray()) {
        for (Json::Value record : records) {
            const SlurmJob job = record.isObject() ? jobOf(stringMember(record, "id")) : SlurmJob();
            if (!job.id().isEmpty()) {
                addJob(record, job);
            }
            annotated.append(record);
        }
    }
    for (const SlurmJob &job : unlisted) {
        Json::Value object(Json::objectValue);
        addJob(object, job);
        annotated.append(object);
    }
    return annotated;
}

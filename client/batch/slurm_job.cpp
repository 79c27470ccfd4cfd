#include "client/batch/slurm_job.h"

#include <QRegularExpression>

namespace {

const QString lumenPrefix = QStringLiteral("lumen-");
constexpr int fields = 6;
constexpr int sessionIdDigits = 8;

bool isJobId(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    return digits.match(text).hasMatch();
}

} // namespace

bool SlurmJob::fromQueueLine(const QString &line, SlurmJob &job)
{
    // The reason is free text: the fields around it are taken from both ends.
    const QStringList parts = line.trimmed().split(QLatin1Char('|'));
    if (parts.size() < fields || !isJobId(parts.first())) {
        return false;
    }
    SlurmJob parsed;
    parsed.jobId = parts.at(0);
    parsed.jobName = parts.at(1);
    parsed.jobState = parts.at(2).trimmed().toUpper();
    parsed.why = parts.mid(3, parts.size() - fields + 1).join(QLatin1Char('|')).trimmed();
    if (parsed.why == QLatin1String("None") || parsed.why == QLatin1String("(null)")) {
        parsed.why.clear();
    }
    parsed.left = parts.at(parts.size() - 2).trimmed();
    if (parsed.left == QLatin1String("INVALID") || parsed.left.isEmpty()) {
        parsed.left = QStringLiteral("-");
    }
    parsed.nodes = parts.last().trimmed();
    if (parsed.nodes == QLatin1String("(null)")) {
        parsed.nodes.clear();
    }
    job = parsed;
    return true;
}

SlurmJobList SlurmJob::fromQueue(const QString &output)
{
    SlurmJobList jobs;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        SlurmJob job;
        if (fromQueueLine(line, job)) {
            jobs << job;
        }
    }
    return jobs;
}

QString SlurmJob::valueOf(const QString &scontrolLine, const QString &key)
{
    const QRegularExpression pattern(QStringLiteral("(?:^|\\s)%1=(\\S*)").arg(QRegularExpression::escape(key)));
    return pattern.match(scontrolLine).captured(1);
}

bool SlurmJob::isLumenJob() const
{
    static const QRegularExpression name(QStringLiteral("^lumen-[0-9a-fA-F]{8}$"));
    return name.match(jobName).hasMatch();
}

QString SlurmJob::sessionIdStart() const
{
    return isLumenJob() ? jobName.mid(lumenPrefix.size(), sessionIdDigits).toLower() : QString();
}

#include "client/sessions/session_table.h"

#include "client/sessions/session_jobs.h"

#include <QList>

namespace {

constexpr int longestName = 40;

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

} // namespace

SessionTable::SessionTable(const QString &localHost, int idLength)
    : localHost(localHost)
    , idLength(idLength)
{
}

QString SessionTable::format(const SessionEntryList &entries, const SessionJobs *jobs) const
{
    const bool withJobs = jobs != nullptr && jobs->any();
    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("ID"), QStringLiteral("HOST"), QStringLiteral("STATE"), QStringLiteral("NAME"),
                        QStringLiteral("STARTED"), QStringLiteral("LAST CONNECT")};
    if (withJobs) {
        rows.first() << QStringLiteral("JOB") << QStringLiteral("LEFT");
    }
    for (const SessionEntry &entry : entries) {
        const SessionRecord &record = entry.record();
        rows << QStringList{oneLine(record.id().left(idLength), idLength), oneLine(hostOf(entry), longestName),
                            entry.stateText(), oneLine(record.name(), longestName), timeText(record.started()),
                            timeText(record.lastConnect())};
        if (withJobs) {
            const SlurmJob job = jobs->jobOf(record.id());
            rows.last() << (job.id().isEmpty() ? QStringLiteral("-") : job.id())
                        << (job.id().isEmpty() ? QStringLiteral("-") : job.timeLeft());
        }
    }
    if (withJobs) {
        for (const SlurmJob &job : jobs->waiting()) {
            rows << QStringList{QStringLiteral("-"), job.node().isEmpty() ? QStringLiteral("-") : oneLine(job.node(), longestName),
                                job.isPending() ? QStringLiteral("pending") : QStringLiteral("starting"),
                                oneLine(job.name(), longestName), QStringLiteral("-"), QStringLiteral("-"), job.id(),
                                job.timeLeft()};
        }
    }
    QList<int> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int column = 0; column < row.size(); ++column) {
            widths[column] = qMax(widths[column], int(row[column].size()));
        }
    }
    QString text;
    for (const QStringList &row : std::as_const(rows)) {
        QString line;
        for (int column = 0; column < row.size(); ++column) {
            line += column + 1 < row.size() ? padded(row[column], widths[column] + 2) : row[column];
        }
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString SessionTable::hostOf(const SessionEntry &entry) const
{
    const QString host = entry.record().location().host();
    return host.isEmpty() ? localHost : host;
}

QString SessionTable::timeText(const QDateTime &time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm")) : QStringLiteral("-");
}

// Control characters (a command may hold line ends) would break the table; long names are cut.
QString SessionTable::oneLine(const QString &text, int limit)
{
    QString line;
    for (const QChar c : text) {
        line += c.category() == QChar::Other_Control ? QLatin1Char(' ') : c;
    }
    line = line.simplified();
    if (line.size() > limit) {
        line = line.left(limit - 3) + QStringLiteral("...");
    }
    return line.isEmpty() ? QStringLiteral("-") : line;
}

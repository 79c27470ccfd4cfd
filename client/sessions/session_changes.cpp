#include "client/sessions/session_changes.h"

namespace {

constexpr int shownIdLength = 8;
constexpr int longestName = 60;
// The longest event word, "password offered", keeps the columns in line.
constexpr int eventWidth = 16;

} // namespace

SessionChanges::SessionChanges(const SessionTable &table, const SessionEntryList &current)
    : table(table)
{
    for (const SessionEntry &entry : current) {
        order << entry.id();
        known.insert(entry.id(), entry);
    }
}

QStringList SessionChanges::update(const SessionEntryList &entries, const QDateTime &now)
{
    QStringList lines;
    QHash<QString, SessionEntry> next;
    QList<QString> nextOrder;
    for (const SessionEntry &entry : entries) {
        next.insert(entry.id(), entry);
        nextOrder << entry.id();
        const auto before = known.constFind(entry.id());
        if (before == known.cend()) {
            lines << line(now, QStringLiteral("started"), entry) + QStringLiteral(" (%1)").arg(entry.stateText());
        } else if (before->state() != entry.state()) {
            lines << line(now, entry.stateText(), entry);
        }
    }
    for (const QString &id : std::as_const(order)) {
        if (!next.contains(id)) {
            lines << line(now, QStringLiteral("ended"), known.value(id));
        }
    }
    known = next;
    order = nextOrder;
    return lines;
}

QString SessionChanges::line(const QDateTime &now, const QString &event, const SessionEntry &entry) const
{
    return QStringLiteral("%1  %2  %3  %4  %5")
        .arg(now.toString(QStringLiteral("hh:mm:ss")), event.leftJustified(eventWidth), entry.id().left(shownIdLength),
             table.hostOf(entry),
             SessionTable::oneLine(entry.record().name(), longestName));
}

#pragma once

#include "client/sessions/session_entry.h"
#include "client/sessions/session_table.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>

// Turns each new session list into lines for people, one per change since the list before: a
// session that started or ended, or whose state changed.
class SessionChanges
{
public:
    SessionChanges(const SessionTable &table, const SessionEntryList &current);

    QStringList update(const SessionEntryList &entries, const QDateTime &now);

private:
    QString line(const QDateTime &now, const QString &event, const SessionEntry &entry) const;

    SessionTable table;
    QList<QString> order;
    QHash<QString, SessionEntry> known;
};

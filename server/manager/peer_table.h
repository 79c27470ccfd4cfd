#pragma once

#include "common/session_record.h"

#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QString>

// What the peers reported of their sessions, one list per peer ("address:port"). A list stays until
// its peer answers again, fails to answer, or its lifetime runs out at an update. Used from the
// main thread (discovery) and from pool threads (the lists), so every call takes the table's lock;
// nothing slow is done under it.
class PeerTable
{
public:
    // Replaces the peer's list, and renews it until `expiry`.
    void set(const QString &key, const QDateTime &expiry, const SessionRecordList &sessions);
    void remove(const QString &key);
    // Drops the lists whose lifetime has run out.
    void expire();
    // Every peer's list, in key order.
    SessionRecordList records() const;

private:
    mutable QMutex lock;
    QMap<QString, QDateTime> expiries;
    QMap<QString, SessionRecordList> sessions;
};

#include "server/manager/peer_table.h"

void PeerTable::set(const QString &key, const QDateTime &expiry, const SessionRecordList &records)
{
    QMutexLocker locker(&lock);
    expiries.insert(key, expiry);
    sessions.insert(key, records);
}

void PeerTable::remove(const QString &key)
{
    QMutexLocker locker(&lock);
    expiries.remove(key);
    sessions.remove(key);
}

void PeerTable::expire()
{
    QMutexLocker locker(&lock);
    const QDateTime now = QDateTime::currentDateTime();
    for (auto entry = expiries.begin(); entry != expiries.end();) {
        if (entry.value() < now) {
            sessions.remove(entry.key());
            entry = expiries.erase(entry);
        } else {
            ++entry;
        }
    }
}

SessionRecordList PeerTable::records() const
{
    QMutexLocker locker(&lock);
    SessionRecordList all;
    for (const SessionRecordList &list : sessions) {
        all << list;
    }
    return all;
}

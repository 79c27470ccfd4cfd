#include "server/manager/session_manager.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
SessionRecordList records(std::initializer_list<const char *> ids)
{
    SessionRecordList list;
    for (const char *id : ids) {
        SessionRecord record;
        record.setId(id);
        list << record;
    }
    return list;
}

QStringList idsOf(const SessionRecordList &list)
{
    QStringList ids;
    for (const SessionRecord &record : list) {
        ids << record.id();
    }
    return ids;
}
}

// What the store remembers of its peers: lists that renew, expire and vanish on failure.
class PeerTableTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir sessions;

private slots:
    void peersListInKeyOrderBeforeLocalSessions()
    {
        SessionManager store(sessions.path(), 100, 200, QString());
        const QDateTime later = QDateTime::currentDateTime().addSecs(400);
        store.peers().set("192.0.2.9:4000", later, records({"z1", "z2"}));
        store.peers().set("192.0.2.10:4000", later, records({"y1"}));
        store.peers().set("192.0.2.11:4000", later, {}); // renews, contributes nothing
        QCOMPARE(idsOf(store.peers().records()), QStringList({"y1", "z1", "z2"}));
        QCOMPARE(idsOf(store.updateSessions()), QStringList({"y1", "z1", "z2"}));
        SessionRecordList all;
        QCOMPARE(store.listSessions(all), 0);
        QCOMPARE(idsOf(all), QStringList({"y1", "z1", "z2"}));
        SessionRecordList local = records({"stale"});
        QCOMPARE(store.listLocalSessions(local), 0);
        QVERIFY(local.isEmpty());
    }

    void laterAnswersReplaceEarlierOnes()
    {
        SessionManager store(sessions.path(), 100, 200, QString());
        const QDateTime later = QDateTime::currentDateTime().addSecs(400);
        store.peers().set("10.0.0.1:1", later, records({"a"}));
        store.peers().set("10.0.0.1:1", later, records({"b"}));
        QCOMPARE(idsOf(store.peers().records()), QStringList({"b"}));
        store.peers().remove("10.0.0.1:1");
        store.peers().remove("never-seen:1");
        QVERIFY(store.peers().records().isEmpty());
    }

    void expiredPeersLeaveAtTheNextUpdateOnly()
    {
        SessionManager store(sessions.path(), 100, 200, QString());
        store.peers().set("old:1", QDateTime::currentDateTime().addSecs(-1), records({"gone"}));
        store.peers().set("new:1", QDateTime::currentDateTime().addSecs(400), records({"kept"}));
        SessionRecordList all;
        QCOMPARE(store.listSessions(all), 0);
        QCOMPARE(idsOf(all), QStringList({"kept", "gone"})); // listing does not expire
        QCOMPARE(idsOf(store.updateSessions()), QStringList({"kept"}));
        QCOMPARE(idsOf(store.peers().records()), QStringList({"kept"}));
    }
};

QTEST_GUILESS_MAIN(PeerTableTest)
#include "tst_peer_table.moc"

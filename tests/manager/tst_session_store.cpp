#include "server/process/idle_exit.h"
#include "server/manager/session_manager.h"
#include "server/session/session_id.h"

#include "tests/support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>
#include <QtConcurrent>
#include <QtTest>

#include <csignal>

// The store in-process, with the stand-in agent: the rules that would otherwise take minutes to see
// through the server.
class SessionStoreTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString sessions;

    static QString newId() { return QUuid::createUuid().toString(QUuid::Id128); }

    QString dirOf(const QString &id) const { return sessionDirectory(sessions, id); }

    bool control(const QString &id, const QString &name) const
    {
        QFile file(dirOf(id) + "/" + name + ".tmp");
        if (!file.open(QIODevice::WriteOnly)) {
            return false;
        }
        file.close();
        return QFile::rename(file.fileName(), dirOf(id) + "/" + name);
    }

    QString startedSession(SessionManager &store)
    {
        const QString id = newId();
        return store.start(id, "xterm", "800x600").status == 0 ? id : QString();
    }

    static QString logOf(const QString &dir)
    {
        QFile file(dir + "/server_log");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        qputenv("PATH", QByteArray(LUMEN_FIXTURES_DIR) + ":" + qgetenv("PATH"));
    }

    void init()
    {
        sessions = root.filePath(QString("sessions-%1").arg(QTest::currentTestFunction()));
        QVERIFY(QDir().mkpath(sessions));
    }

    void suspendCheckEndsOnlyAbandonedSessions()
    {
        SessionManager store(sessions, 100, 120, QString());
        const QString neverSeen = startedSession(store);
        const QString abandoned = startedSession(store);
        const QString watched = startedSession(store);
        QVERIFY(!neverSeen.isEmpty() && !abandoned.isEmpty() && !watched.isEmpty());

        QVERIFY(control(abandoned, "fake_agent_connect"));
        QTRY_VERIFY(logOf(dirOf(abandoned)).contains("Client authenticated"));
        QVERIFY(control(abandoned, "fake_agent_disconnect"));
        QTRY_VERIFY(logOf(dirOf(abandoned)).contains("Client disconnected"));
        QVERIFY(control(watched, "fake_agent_connect"));
        QTRY_VERIFY(logOf(dirOf(watched)).contains("Client authenticated"));
        store.updateSessions(); // the store learns what the agents logged

        store.checkSuspendTimeouts(60); // an hour has not passed yet
        QTest::qWait(200);
        QCOMPARE(store.updateSessions().size(), 3);

        store.checkSuspendTimeouts(0);
        QTRY_COMPARE(store.updateSessions().size(), 2);
        QVERIFY(!QFile::exists(dirOf(abandoned)));
        SessionRecordList left;
        QCOMPARE(store.listLocalSessions(left), 0);
        QStringList ids = {left[0].id(), left[1].id()};
        ids.sort();
        QStringList expected = {neverSeen, watched};
        expected.sort();
        QCOMPARE(ids, expected);
        for (const QString &id : expected) {
            QCOMPARE(store.terminate(id), 0);
        }
    }

    void loadedSessionsHoldOffIdleExit()
    {
        const int before = IdleExit::global().sessionCount();
        QString id;
        {
            SessionManager first(sessions, 100, 120, QString());
            id = startedSession(first);
            QVERIFY(!id.isEmpty());
            QCOMPARE(IdleExit::global().sessionCount(), before + 1);
        }
        QCOMPARE(IdleExit::global().sessionCount(), before);
        QDir().mkpath(sessions + "/not-a-session");
        QDir().mkpath(sessions + "/C-" + QString(32, 'z'));

        SessionManager again(sessions, 100, 120, QString());
        QCOMPARE(IdleExit::global().sessionCount(), before + 1);
        SessionRecordList list;
        QCOMPARE(again.listLocalSessions(list), 0);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0].id(), id);
        QCOMPARE(again.terminate(id), 0);
        QCOMPARE(IdleExit::global().sessionCount(), before);
        QCOMPARE(again.terminate(id), -94);
    }

    void concurrentStartsGetTheirOwnDisplays()
    {
        SessionManager store(sessions, 100, 120, QString());
        QList<QFuture<QString>> starts;
        for (int i = 0; i < 4; ++i) {
            starts << QtConcurrent::run([this, &store] { return startedSession(store); });
        }
        QSet<QString> displays;
        QStringList ids;
        for (QFuture<QString> &start : starts) {
            const QString id = start.result();
            QVERIFY(!id.isEmpty());
            ids << id;
            QFile file(dirOf(id) + "/display");
            QVERIFY(file.open(QIODevice::ReadOnly));
            displays << QString::fromLatin1(file.readAll());
        }
        QCOMPARE(displays.size(), 4);
        for (const QString &id : ids) {
            QCOMPARE(store.terminate(id), 0);
        }
    }

    void leftoverFilesKeepTheDirectory()
    {
        QTemporaryDir dir;
        QFile(dir.filePath("display")).open(QIODevice::WriteOnly);
        QFile(dir.filePath(".hidden")).open(QIODevice::WriteOnly);
        QString message;
        QVERIFY(!SessionManager::removeSessionDirectory(dir.path(), message));
        QCOMPARE(message, QString("Failed to remove the directory \"%1\"").arg(dir.path()));
        QVERIFY(!QFile::exists(dir.filePath("display")));
        QVERIFY(QFile::exists(dir.filePath(".hidden")));
    }
};

QTEST_GUILESS_MAIN(SessionStoreTest)
#include "tst_session_store.moc"

// The agent's information socket, served here by a QLocalServer; the query runs on a worker thread
// while the test's event loop answers.

#include "session_test_files.h"

#include "server/session/session_runtime.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtConcurrent>

namespace {
// The display of the session that refresh() queries through "/tmp/Xrdp_<display>.sock".
constexpr quint16 socketDisplay = 158;

const QByteArray fullObject = R"({"Started": "2014-03-05T17:04:09", "LastConnect": "2014-03-05T17:10:00",
    "LastDisconnect": "2014-03-05T17:20:00", "ScreenWidth": 1280, "ScreenHeight": 1024, "Clients": 3,
    "Passwords": ["a", "b"], "Unknown": {"x": 1}})";

QDateTime local(int hour, int minute, int second)
{
    return QDateTime(QDate(2014, 3, 5), QTime(hour, minute, second));
}
}

class TestAgentSocket : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temporary;

    QString socketPath() const { return QDir(temporary.path()).filePath("info.sock"); }

    // Serves `answer` on every connection and closes it after `holdMs` (never when negative) while
    // `work` runs on another thread; returns what `work` returned.
    bool whileServing(const QString &path, const QByteArray &answer, int holdMs, const std::function<bool()> &work)
    {
        QLocalServer server;
        QLocalServer::removeServer(path);
        if (!server.listen(path)) {
            qWarning("cannot listen on %s", qPrintable(path));
            return false;
        }
        connect(&server, &QLocalServer::newConnection, &server, [&server, answer, holdMs] {
            while (QLocalSocket *peer = server.nextPendingConnection()) {
                peer->write(answer);
                peer->flush();
                if (holdMs >= 0) {
                    QTimer::singleShot(holdMs, peer, [peer] { peer->disconnectFromServer(); });
                }
            }
        });
        QFuture<bool> result = QtConcurrent::run(work);
        while (!result.isFinished()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return result.result();
    }

    bool query(SessionRuntime &runtime, const QByteArray &answer, QString &error, int holdMs = 0)
    {
        const QString path = socketPath();
        return whileServing(path, answer, holdMs,
                            [&runtime, &error, path] { return runtime.queryAgentInfo(path, error); });
    }

    void verifyFullObject(const SessionRuntime &runtime)
    {
        QCOMPARE(runtime.started(), local(17, 4, 9));
        QCOMPARE(runtime.lastConnect(), local(17, 10, 0));
        QCOMPARE(runtime.lastDisconnect(), local(17, 20, 0));
        QCOMPARE(runtime.screenSize(), QSize(1280, 1024));
        QCOMPARE(runtime.clients(), 3);
        QCOMPARE(runtime.passwords(), (QStringList{"a", "b"}));
    }

private slots:
    void initTestCase() { QVERIFY(temporary.isValid()); }

    void everyMemberSetsItsField()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        verifyFullObject(runtime);
    }

    void absentMembersLeaveTheirFields()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        QVERIFY(query(runtime, R"({"Clients": 2, "Passwords": []})", error));
        QCOMPARE(runtime.clients(), 2);
        QVERIFY(runtime.passwords().isEmpty());
        QCOMPARE(runtime.started(), local(17, 4, 9));
        QCOMPARE(runtime.lastDisconnect(), local(17, 20, 0));
        QCOMPARE(runtime.screenSize(), QSize(1280, 1024));
    }

    void membersOfTheWrongTypeAreNotTaken_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("clients");
        QTest::addColumn<QSize>("screenSize");
        QTest::addColumn<QStringList>("passwords");
        const QStringList kept = {"a", "b"};
        const QSize size(1280, 1024);
        QTest::newRow("width only") << QByteArray(R"({"ScreenWidth": 800})") << 3 << size << kept;
        QTest::newRow("width as string")
            << QByteArray(R"({"ScreenWidth": "800", "ScreenHeight": 600})") << 3 << size << kept;
        QTest::newRow("height with fraction")
            << QByteArray(R"({"ScreenWidth": 800, "ScreenHeight": 600.0})") << 3 << size << kept;
        QTest::newRow("both integers")
            << QByteArray(R"({"ScreenWidth": 800, "ScreenHeight": 600})") << 3 << QSize(800, 600) << kept;
        QTest::newRow("clients 2.0") << QByteArray(R"({"Clients": 2.0})") << 3 << size << kept;
        QTest::newRow("clients 2e0") << QByteArray(R"({"Clients": 2e0})") << 3 << size << kept;
        QTest::newRow("clients above int") << QByteArray(R"({"Clients": 2147483648})") << 3 << size << kept;
        QTest::newRow("clients as string") << QByteArray(R"({"Clients": "2"})") << 3 << size << kept;
        // A count: never below 0.
        QTest::newRow("clients negative") << QByteArray(R"({"Clients": -1})") << 0 << size << kept;
        QTest::newRow("passwords as string") << QByteArray(R"({"Passwords": "c"})") << 3 << size << QStringList();
        QTest::newRow("passwords mixed") << QByteArray(R"({"Passwords": ["c", 1, null, "d", ["e"]]})") << 3 << size
                                         << QStringList{"c", "d"};
    }

    void membersOfTheWrongTypeAreNotTaken()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, clients);
        QFETCH(QSize, screenSize);
        QFETCH(QStringList, passwords);
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        QVERIFY(query(runtime, answer, error));
        QCOMPARE(runtime.clients(), clients);
        QCOMPARE(runtime.screenSize(), screenSize);
        QCOMPARE(runtime.passwords(), passwords);
        QCOMPARE(runtime.started(), local(17, 4, 9));
    }

    void dateMembers()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        QVERIFY(query(runtime, R"({"Started": 5, "LastConnect": "2014-02-30T10:00:00"})", error));
        QCOMPARE(runtime.started(), local(17, 4, 9));
        QVERIFY(runtime.lastConnect().isNull());
    }

    void nullIsAnObjectWithoutMembers()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        QVERIFY(query(runtime, "null", error));
        verifyFullObject(runtime);
    }

    void answersThatAreNoObjectFailAndChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        const QString invalid = "Failed to parse the info from the session: Invalid JSON";
        QTest::newRow("empty") << QByteArray() << invalid;
        QTest::newRow("cut off") << QByteArray(R"({"Clients": 2)") << invalid;
        QTest::newRow("two values") << QByteArray(R"({"Clients": 2} {"Clients": 4})") << invalid;
        QTest::newRow("array") << QByteArray(R"([{"Clients": 2}])") << QString();
        QTest::newRow("string") << QByteArray(R"("Clients")") << QString();
        QTest::newRow("number") << QByteArray("2") << QString();
    }

    void answersThatAreNoObjectFailAndChangeNothing()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, fullObject, error));
        error.clear();
        QVERIFY(!query(runtime, answer, error));
        if (message.isEmpty()) {
            QVERIFY2(error.startsWith("Failed to parse the info from the session: "), qPrintable(error));
        } else {
            QCOMPARE(error, message);
        }
        verifyFullObject(runtime);
    }

    void peerThatKeepsTheConnectionOpenFailsAfterOneSecond()
    {
        SessionRuntime runtime;
        QString error;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!query(runtime, R"({"Clients": 2})", error, 1600));
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(error, QString("Failed to get the info from the session"));
        QCOMPARE(runtime.clients(), 0);
        QVERIFY2(elapsed >= 950 && elapsed < 1500, qPrintable(QString::number(elapsed)));
    }

    void answerClosedWithinTheSecondCounts()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(query(runtime, R"({"Clients": 2})", error, 300));
        QCOMPARE(runtime.clients(), 2);
    }

    void noListenerFails()
    {
        SessionRuntime runtime;
        QString error;
        QVERIFY(!runtime.queryAgentInfo(QDir(temporary.path()).filePath("nobody.sock"), error));
        QCOMPARE(error, QString("Failed to get the info from the session"));
    }

    void refreshPrefersTheSocketAndRereadsTheLogWhenItIsGone()
    {
        const QString agentSocket = QString("/tmp/Xrdp_%1.sock").arg(socketDisplay);
        QVERIFY2(!QFile::exists(agentSocket), "an agent uses this test's display");
        const QString dir = QDir(temporary.path()).filePath("C-socket");
        QVERIFY(QDir().mkpath(dir));
        QProcess launcher;
        launcher.setWorkingDirectory(dir);
        launcher.start("sleep", {"60"});
        QVERIFY(launcher.waitForStarted(5000));
        QVERIFY(writeSessionDirectory(dir, socketDisplay, launcher.processId()));
        QVERIFY(writeBytes(QDir(dir).filePath("server_log"), "Added new password log1\nAdded new password log2\n"));
        SessionRuntime runtime;
        QCOMPARE(runtime.load(dir), 0);
        QCOMPARE(runtime.refresh(), 0);
        QCOMPARE(runtime.passwords(), (QStringList{"log1", "log2"}));

        int result = -1;
        whileServing(agentSocket, R"({"Passwords": ["sock"], "Clients": 1})", 0, [&runtime, &result] {
            result = runtime.refresh();
            return true;
        });
        QCOMPARE(result, 0);
        QCOMPARE(runtime.passwords(), QStringList{"sock"});
        QCOMPARE(runtime.clients(), 1);

        // The socket is gone: the log is the whole story again, not added to the socket's view.
        QVERIFY(!QFile::exists(agentSocket));
        QCOMPARE(runtime.refresh(), 0);
        QCOMPARE(runtime.passwords(), (QStringList{"log1", "log2"}));
        QCOMPARE(runtime.clients(), 0);
        launcher.kill();
        launcher.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestAgentSocket)
#include "tst_agent_socket.moc"

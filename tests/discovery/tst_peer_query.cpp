#include "common/files.h"
#include "server/discovery/peer_query.h"
#include "server/manager/session_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_environment.h"

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

#include <csignal>

namespace {

QByteArray frame(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

QByteArray answer(const QByteArray &result)
{
    return frame(R"({"id":"ServerUpdate","jsonrpc":"2.0","result":)" + result + "}\n");
}

const QByteArray notification = frame(R"({"jsonrpc":"2.0","method":"UpdateSessions","params":[{"id":"n1"}]})" "\n");

struct Fetched
{
    PeerAnswer answer = PeerAnswer::Failed;
    SessionRecordList sessions;
    QString error = QStringLiteral("<not finished>");
    qint64 elapsedMs = 0;
};

QStringList idsOf(const SessionRecordList &list)
{
    QStringList ids;
    for (const SessionRecord &record : list) {
        ids << record.id();
    }
    return ids;
}

struct Identity
{
    QString certificatePath;
    QString keyPath;
    QSslCertificate certificate;
    QSslKey key;

    bool create(const QString &directory, const QString &name)
    {
        certificatePath = directory + "/" + name + "_cert";
        keyPath = directory + "/" + name + "_key";
        QString error;
        return createCertificate(certificatePath, keyPath, error) && readCertificate(certificatePath, certificate, error)
               && readPrivateKey(keyPath, key, error);
    }
};

} // namespace

// The client side of the peer query: what it sends, which answers it takes, how it fails, and what
// it leaves in the peer table.
class PeerQueryTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    Identity own;
    Identity foreign;

    // The query blocks, so it runs on a pool thread while this thread serves the stand-in peer.
    Fetched fetch(quint16 port, int budgetMs = 5000)
    {
        const QSslCertificate certificate = own.certificate;
        const QSslKey key = own.key;
        QFuture<Fetched> future = QtConcurrent::run([=] {
            Fetched fetched;
            QElapsedTimer clock;
            clock.start();
            fetched.error.clear();
            fetched.answer = fetchPeerSessions(QHostAddress::LocalHost, port, key, certificate, fetched.sessions,
                                               fetched.error, budgetMs);
            fetched.elapsedMs = clock.elapsed();
            return fetched;
        });
        if (!QTest::qWaitFor([&] { return future.isFinished(); }, budgetMs + 10000)) {
            qWarning("the query overran its budget");
        }
        return future.result();
    }

    void runQuery(quint16 port, SessionManager &store, const PeerQueryTiming &timing = PeerQueryTiming(),
                  const QString &keyPath = QString())
    {
        const QString key = keyPath.isEmpty() ? own.keyPath : keyPath;
        const QString certificate = own.certificatePath;
        QFuture<void> future = QtConcurrent::run([=, &store] {
            queryPeer(QHostAddress::LocalHost, port, key, certificate, &store.peers(), timing);
        });
        if (!QTest::qWaitFor([&] { return future.isFinished(); }, timing.budgetMs + 10000)) {
            qWarning("the query overran its budget");
        }
        future.waitForFinished();
    }

    static SessionRecordList stale()
    {
        SessionRecord record;
        record.setId("stale");
        return {record};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(files.isValid());
        QVERIFY(own.create(files.path(), "own"));
        QVERIFY(foreign.create(files.path(), "foreign"));
    }

    // Pool threads that ran TLS must end while OpenSSL is still there to free their state; left
    // to the exit handlers, they may end after it and leak it.
    void cleanupTestCase()
    {
        QThreadPool::globalInstance()->waitForDone();
    }

    void sendsTheRequestAndSkipsNotificationsInTheSameRead()
    {
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        const QByteArray full = R"({"id":"a","location":"ssh://u@hostA:22/lumen_sci","name":"xterm",)"
                                R"("permissions":"connect|terminate","started":"2025-03-07T09:05:03","windowMode":"desktop"})";
        peer.setReplies({notification + answer("[" + full + R"(,{"id":""},{"name":"no id"},5,"text",null,{"id":"b"}])")});

        const Fetched fetched = fetch(peer.serverPort());
        QCOMPARE(fetched.error, QString());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Sessions));
        QCOMPARE(peer.request(),
                 QByteArray("86:{\"id\":\"ServerUpdate\",\"jsonrpc\":\"2.0\",\"method\":\"Live.ListLocalSessions\","
                            "\"params\":null}\n,"));
        QCOMPARE(peer.clientCertificate(), own.certificate);
        QCOMPARE(idsOf(fetched.sessions), QStringList({"a", "b"}));
        const SessionRecord &first = fetched.sessions.first();
        QCOMPARE(first.location(), QUrl("ssh://u@hostA:22/lumen_sci"));
        QCOMPARE(first.name(), QString("xterm"));
        QCOMPARE(first.permissions(), QStringList({"connect", "terminate"}));
        QCOMPARE(first.started(), QDateTime(QDate(2025, 3, 7), QTime(9, 5, 3)));
    }

    // Messages that are not the answer are passed over, also when they come in separate reads.
    void passesOverWhatIsNotTheAnswer()
    {
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        peer.setReplies({notification,
                         frame(R"({"id":"other","jsonrpc":"2.0","result":[{"id":"x"}]})")
                             + frame(R"({"id":"ServerUpdate","jsonrpc":2.0,"result":[{"id":"y"}]})")
                             + frame(R"({"id":"ServerUpdate","jsonrpc":"2.0"})")
                             + frame(R"({"error":{"code":1.5,"message":"real code"},"id":"ServerUpdate","jsonrpc":"2.0"})")
                             + frame(R"([{"id":"ServerUpdate","jsonrpc":"2.0","result":[{"id":"z"}]}])"),
                         answer("null")});
        const Fetched fetched = fetch(peer.serverPort());
        QCOMPARE(fetched.error, QString());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Sessions));
        QVERIFY(fetched.sessions.isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");
        QTest::newRow("error object") << frame(R"({"error":{"code":-32601,"message":"Method not found."},"id":"ServerUpdate","jsonrpc":"2.0"})")
                                      << "Method not found.";
        QTest::newRow("null error message") << frame(R"({"error":{"code":-32000,"message":null},"id":"ServerUpdate","jsonrpc":"2.0"})")
                                            << "";
        QTest::newRow("bad length") << QByteArray("abc:x,") << "Invalid NetString length";
        QTest::newRow("missing comma") << QByteArray("3:abcd") << "Missing NetString comma";
        QTest::newRow("not json") << frame("{not json") << "Received invalid JSON";
    }

    void failures()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        peer.setReplies({reply});
        const Fetched fetched = fetch(peer.serverPort());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Failed));
        QCOMPARE(fetched.error, error);
    }

    void unreadableValues_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("number in a record") << answer(R"([{"id":"a"},{"id":"b","name":7}])");
        QTest::newRow("object in a record") << answer(R"([{"id":{"x":1}}])");
        QTest::newRow("number as error message") << frame(R"({"error":{"code":-32000,"message":3},"id":"ServerUpdate","jsonrpc":"2.0"})");
    }

    void unreadableValues()
    {
        QFETCH(QByteArray, reply);
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        peer.setReplies({reply});
        QCOMPARE(int(fetch(peer.serverPort()).answer), int(PeerAnswer::Unreadable));
    }

    void silentPeerFailsOnceTheBudgetIsSpent()
    {
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        const Fetched fetched = fetch(peer.serverPort(), 800);
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Failed));
        QVERIFY2(fetched.error.startsWith(QString("Failed to read from \"127.0.0.1\" port \"%1\": ").arg(peer.serverPort())),
                 qPrintable(fetched.error));
        QVERIFY2(fetched.elapsedMs >= 750 && fetched.elapsedMs < 4000, qPrintable(QString::number(fetched.elapsedMs)));
        QCOMPARE(peer.connections(), 1);
    }

    void unreachableOrUntrustedPeersFail()
    {
        // Nobody listens on a port that was just released.
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        Fetched fetched = fetch(closedPort);
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Failed));
        QVERIFY2(fetched.error.startsWith(QString("Failed to connect to \"127.0.0.1\" port \"%1\": ").arg(closedPort)),
                 qPrintable(fetched.error));

        // A peer that hangs up during the handshake.
        QTcpServer hangUp;
        QVERIFY(hangUp.listen(QHostAddress::LocalHost, 0));
        connect(&hangUp, &QTcpServer::newConnection, &hangUp, [&hangUp] {
            while (QTcpSocket *socket = hangUp.nextPendingConnection()) {
                socket->abort();
                socket->deleteLater();
            }
        });
        fetched = fetch(hangUp.serverPort());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Failed));
        QVERIFY2(fetched.error.startsWith(QString("Failed to connect to \"127.0.0.1\" port \"%1\": ").arg(hangUp.serverPort())),
                 qPrintable(fetched.error));

        ScriptedPeer stranger(foreign.certificate, foreign.key);
        QVERIFY(stranger.start());
        stranger.setReplies({answer(R"([{"id":"planted"}])")});
        fetched = fetch(stranger.serverPort());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Failed));
        QCOMPARE(fetched.error, QString("The certificate at \"127.0.0.1\" port \"%1\" does not match").arg(stranger.serverPort()));
        QVERIFY(stranger.request().isEmpty()); // the request never went to the stranger
    }

    void answerRenewsTheEntryFor400Seconds()
    {
        QTemporaryDir sessions;
        SessionManager store(sessions.path(), 100, 200, QString());
        LogCapture log;
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        peer.setReplies({answer(R"([{"id":"a"}])")});

        PeerQueryTiming timing;
        timing.now = [] { return QDateTime::currentDateTime().addSecs(-398); };
        runQuery(peer.serverPort(), store, timing);
        QCOMPARE(idsOf(store.updateSessions()), QStringList({"a"}));

        timing.now = [] { return QDateTime::currentDateTime().addSecs(-402); };
        runQuery(peer.serverPort(), store, timing);
        QCOMPARE(idsOf(store.peers().records()), QStringList({"a"}));
        QVERIFY(store.updateSessions().isEmpty());
        QCOMPARE(log.lines(), QStringList());
    }

    void failedQueryLogsAndForgetsThePeer_data()
    {
        QTest::addColumn<bool>("foreignPeer");
        QTest::addColumn<QString>("warning");
        QTest::newRow("error object") << false << "Warning: No such thing";
        QTest::newRow("foreign certificate") << true << "Warning: The certificate at \"127.0.0.1\" port \"%1\" does not match";
    }

    void failedQueryLogsAndForgetsThePeer()
    {
        QFETCH(bool, foreignPeer);
        QFETCH(QString, warning);
        QTemporaryDir sessions;
        SessionManager store(sessions.path(), 100, 200, QString());
        LogCapture log;
        const Identity &identity = foreignPeer ? foreign : own;
        ScriptedPeer peer(identity.certificate, identity.key);
        QVERIFY(peer.start());
        peer.setReplies({frame(R"({"error":{"code":-32000,"message":"No such thing"},"id":"ServerUpdate","jsonrpc":"2.0"})")});
        store.peers().set(peerKey(QHostAddress::LocalHost, peer.serverPort()), QDateTime::currentDateTime().addSecs(400), stale());

        runQuery(peer.serverPort(), store);
        QVERIFY(store.peers().records().isEmpty());
        if (foreignPeer) {
            warning = warning.arg(peer.serverPort());
        }
        QCOMPARE(log.lines(), QStringList({warning}));
    }

    void unusableQueriesLeaveTheTableAlone()
    {
        QTemporaryDir sessions;
        SessionManager store(sessions.path(), 100, 200, QString());
        LogCapture log;
        ScriptedPeer peer(own.certificate, own.key);
        QVERIFY(peer.start());
        peer.setReplies({answer(R"([{"id":"a","name":1}])")});
        store.peers().set(peerKey(QHostAddress::LocalHost, peer.serverPort()), QDateTime::currentDateTime().addSecs(400), stale());

        runQuery(peer.serverPort(), store);
        QCOMPARE(idsOf(store.peers().records()), QStringList({"stale"}));
        QCOMPARE(log.lines(), QStringList());

        runQuery(peer.serverPort(), store, PeerQueryTiming(), files.path() + "/missing_key");
        QCOMPARE(idsOf(store.peers().records()), QStringList({"stale"}));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().startsWith("Warning: ") && log.lines().first().contains("missing_key"),
                 qPrintable(log.lines().first()));
        QCOMPARE(peer.connections(), 1); // no connection without a key
    }

    // The real server answers the query like any client's request; without sessions it says null.
    void realServerWithoutSessions()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        const QString parent = env.userPath() + "/..";
        QVERIFY(QFile::copy(own.certificatePath, parent + "/server_cert"));
        QVERIFY(QFile::copy(own.keyPath, parent + "/server_key"));
        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QVERIFY2(launched.finished && launched.exitCode == 0, launched.standardError.constData());
        QVERIFY(server.port() != 0);

        const Fetched fetched = fetch(server.port());
        QCOMPARE(fetched.error, QString());
        QCOMPARE(int(fetched.answer), int(PeerAnswer::Sessions));
        QVERIFY(fetched.sessions.isEmpty());

        QTemporaryDir sessions;
        SessionManager store(sessions.path(), 100, 200, QString());
        LogCapture log;
        store.peers().set(peerKey(QHostAddress::LocalHost, server.port()), QDateTime::currentDateTime().addSecs(400), stale());
        runQuery(server.port(), store);
        QVERIFY(store.peers().records().isEmpty()); // replaced by the empty answer, not removed:
        QCOMPARE(log.lines(), QStringList());   // a removal would have logged why
        QVERIFY(server.stop(SIGTERM));
    }
};

QTEST_GUILESS_MAIN(PeerQueryTest)
#include "tst_peer_query.moc"

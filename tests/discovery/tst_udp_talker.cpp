#include "common/files.h"
#include "server/discovery/host_addresses.h"
#include "server/discovery/named_peer.h"
#include "server/discovery/throttled_log.h"
#include "server/discovery/udp_talker.h"
#include "server/discovery/unicast_targets.h"
#include "server/manager/session_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_certificates.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const char *const testUser = "discovery-tester";
const quint16 ownListenPort = 4711;

// Accepts connections and hangs up at once, so that a query to it ends quickly; counts them.
class HangUpPeer : public QTcpServer
{
public:
    int accepted = 0;

    bool start() { return listen(QHostAddress::LocalHost, 0); }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        ++accepted;
        QTcpSocket socket;
        socket.setSocketDescriptor(descriptor);
        socket.abort();
    }
};

// The test's side of the network: sends announcements to the talker and collects what comes back.
class Announcer
{
public:
    Announcer() { bound = socket.bind(QHostAddress::LocalHost, 0); }

    bool bound = false;

    void send(const QByteArray &datagram, quint16 talkerPort)
    {
        socket.writeDatagram(datagram, QHostAddress::LocalHost, talkerPort);
    }

    QList<QNetworkDatagram> received()
    {
        while (socket.hasPendingDatagrams()) {
            collected << socket.receiveDatagram();
        }
        return collected;
    }

    quint16 port() const { return socket.localPort(); }

private:
    QUdpSocket socket;
    QList<QNetworkDatagram> collected;
};

QByteArray announcement(const char *method, int port, const QByteArray &user = testUser)
{
    return QByteArray("{\"Method\":\"") + method + "\",\"Port\":" + QByteArray::number(port) + ",\"User\":\"" + user
           + "\"}\n";
}

} // namespace

// The talker's announcements and its rules for the ones it receives, on loopback.
class UdpTalkerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    QString certificatePath;
    QString keyPath;
    std::unique_ptr<SessionManager> store;
    std::unique_ptr<QUdpSocket> talkerSocket;
    std::unique_ptr<UdpTalker> talker;

    // A talker on 127.0.0.1 that regards no address as its own, so loopback datagrams reach its rules.
    void createTalker(const HostAddresses &own = HostAddresses(QList<QHostAddress>()), int budgetMs = 3000)
    {
        talkerSocket = std::make_unique<QUdpSocket>();
        QVERIFY(talkerSocket->bind(QHostAddress::LocalHost, 0));
        talker = std::make_unique<UdpTalker>(talkerSocket.get(), QHostAddress::LocalHost, 0, ownListenPort,
                                             &store->peers(), keyPath, certificatePath);
        talker->setHostAddresses(own);
        PeerQueryTiming timing;
        timing.budgetMs = budgetMs;
        talker->setQueryTiming(timing);
    }

private slots:
    void initTestCase()
    {
        qputenv("USER", testUser);
        QVERIFY(files.isValid());
        certificatePath = files.path() + "/server_cert";
        keyPath = files.path() + "/server_key";
        QString error;
        QVERIFY2(createCertificate(certificatePath, keyPath, error), qPrintable(error));
    }

    // Pool threads that ran TLS must end while OpenSSL is still there to free their state; left
    // to the exit handlers, they may end after it and leak it.
    void cleanupTestCase()
    {
        QThreadPool::globalInstance()->waitForDone();
    }

    void init()
    {
        store = std::make_unique<SessionManager>(files.path() + "/sessions", 100, 200, QString());
    }

    void cleanup()
    {
        talker.reset();
        talkerSocket.reset();
        store.reset();
    }

    void announcesItselfToTheBroadcastAddress()
    {
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
        QUdpSocket socket;
        UdpTalker talker(&socket, QHostAddress::LocalHost, receiver.localPort(), ownListenPort, &store->peers(), keyPath,
                         certificatePath);
        QList<QNetworkDatagram> datagrams;
        auto collect = [&](int count) {
            return QTest::qWaitFor([&] {
                while (receiver.hasPendingDatagrams()) {
                    datagrams << receiver.receiveDatagram();
                }
                return datagrams.size() >= count;
            }, 3000);
        };

        talker.sendHello();
        QVERIFY(collect(1));
        QCOMPARE(datagrams.at(0).data(), QByteArray("{\"Method\":\"HELLO\",\"Port\":4711,\"User\":\"discovery-tester\"}\n"));
        QCOMPARE(datagrams.at(0).senderPort(), int(socket.localPort()));

        talker.sendUpdate();
        QVERIFY(collect(2));
        QCOMPARE(datagrams.at(1).data(), QByteArray("{\"Method\":\"UPDATE\",\"Port\":4711,\"User\":\"discovery-tester\"}\n"));

        // Without changes the talker still repeats itself, so that peers renew its entry.
        talker.setUpdateInterval(100);
        QVERIFY(collect(4));
        QCOMPARE(datagrams.at(3).data(), datagrams.at(1).data());
    }

    // A socket that never sent anything is still unbound; the first send binds it implicitly.
    void sendsNothingWithoutABroadcastPort()
    {
        QUdpSocket socket;
        UdpTalker silent(&socket, QHostAddress::LocalHost, 0, ownListenPort, &store->peers(), keyPath, certificatePath);
        silent.sendHello();
        silent.sendUpdate();
        silent.setUpdateInterval(20);
        QTest::qWait(200);
        QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);

        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
        UdpTalker talking(&socket, QHostAddress::LocalHost, receiver.localPort(), ownListenPort, &store->peers(), keyPath,
                          certificatePath);
        talking.sendHello();
        QCOMPARE(socket.state(), QAbstractSocket::BoundState);
        QVERIFY(QTest::qWaitFor([&] { return receiver.hasPendingDatagrams(); }, 3000));
    }

    void dropsAnnouncementsThatBreakTheRules()
    {
        LogCapture log;
        createTalker();
        HangUpPeer dropped;
        HangUpPeer sentinel;
        QVERIFY(dropped.start() && sentinel.start());
        Announcer announcer;
        QVERIFY(announcer.bound);
        const int port = dropped.serverPort();
        const QByteArray portText = QByteArray::number(port);
        const QList<QByteArray> rejected = {
            "not json",
            "{\"Method\":\"HELLO\",\"Port\":" + portText + ".0,\"User\":\"discovery-tester\"}",
            "{\"Method\":\"HELLO\",\"Port\":\"" + portText + "\",\"User\":\"discovery-tester\"}",
            announcement("hello", port),
            announcement("update", port),
            announcement("BYE", port),
            announcement("HELLO", port, "Discovery-Tester"),
            announcement("HELLO", port, "discovery-tester "),
            announcement("HELLO", port + 65536),
            announcement("HELLO", port - 65536),
            announcement("HELLO", 0),
            "{\"Method\":\"HELLO\",\"Port\":" + portText + "}",
            "{\"Method\":\"HELLO\",\"Port\":" + portText + ",\"User\":null}",
            "[" + announcement("HELLO", port) + "]",
        };
        for (const QByteArray &datagram : rejected) {
            announcer.send(datagram, talkerSocket->localPort());
        }
        // Datagrams are handled in order: once the sentinel is queried, the others were judged.
        announcer.send(announcement("UPDATE", sentinel.serverPort()), talkerSocket->localPort());
        QVERIFY(QTest::qWaitFor([&] { return sentinel.accepted == 1; }, 5000));
        QTest::qWait(300);

        QCOMPARE(dropped.accepted, 0);
        QCOMPARE(announcer.received().size(), 0); // an UPDATE is not answered either
        QCOMPARE(log.lines().count("Warning: Received invalid JSON"), 1);
    }

    void helloStartsOneQueryAndOneAnswer()
    {
        LogCapture log;
        createTalker();
        HangUpPeer peer;
        QVERIFY(peer.start());
        Announcer announcer;
        QVERIFY(announcer.bound);

        announcer.send(announcement("HELLO", peer.serverPort()), talkerSocket->localPort());
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted == 1 && announcer.received().size() == 1; }, 5000));
        const QString failure = QString("Warning: Failed to connect to \"127.0.0.1\" port \"%1\": ").arg(peer.serverPort());
        QVERIFY(log.waitFor(failure));
        QTest::qWait(300);

        QCOMPARE(peer.accepted, 1);
        const QList<QNetworkDatagram> answers = announcer.received();
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers.first().data(), announcement("UPDATE", ownListenPort));
        QCOMPARE(answers.first().senderPort(), int(talkerSocket->localPort()));

        // A sender is answered once in a while, however many HELLOs it sends; each still asks.
        for (int i = 0; i < 3; ++i) {
            announcer.send(announcement("HELLO", peer.serverPort()), talkerSocket->localPort());
        }
        QVERIFY(QTest::qWaitFor([&] { return peer.accepted >= 2; }, 5000));
        QTest::qWait(300);
        QCOMPARE(announcer.received().size(), 1);
    }

    void dropsDatagramsFromThisHost()
    {
        const HostAddresses system;
        QVERIFY(system.contains(QHostAddress::LocalHost));
        QVERIFY(system.contains(QHostAddress("::ffff:127.0.0.1")));
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            QVERIFY2(system.contains(address), qPrintable(address.toString()));
        }
        QVERIFY(!system.contains(QHostAddress("198.51.100.77")));
        const HostAddresses fixed({QHostAddress("198.51.100.77")});
        QVERIFY(fixed.contains(QHostAddress("198.51.100.77")));
        QVERIFY(!fixed.contains(QHostAddress::LocalHost));

        // With the real interfaces, a HELLO over loopback comes from this host.
        createTalker(HostAddresses());
        HangUpPeer peer;
        QVERIFY(peer.start());
        Announcer announcer;
        QVERIFY(announcer.bound);
        announcer.send(announcement("HELLO", peer.serverPort()), talkerSocket->localPort());
        announcer.send("not json", talkerSocket->localPort());
        LogCapture log;
        QTest::qWait(500);
        QCOMPARE(peer.accepted, 0);
        QCOMPARE(announcer.received().size(), 0);
        QCOMPARE(log.lines(), QStringList());
    }

    // A burst of announcements from one peer costs one query: those that come before it asks are
    // answered by it (one announcement often comes twice, by broadcast and unicast), those after it
    // asked by one more query afterwards. The peer's second failure within the minute is only counted.
    void oneQueryPerPeerAtATime()
    {
        LogCapture log;
        createTalker(HostAddresses(QList<QHostAddress>()), 700);
        QString error;
        QSslCertificate certificate;
        QSslKey key;
        QVERIFY(readCertificate(certificatePath, certificate, error) && readPrivateKey(keyPath, key, error));
        ScriptedPeer silent(certificate, key);
        HangUpPeer other;
        QVERIFY(silent.start() && other.start());
        Announcer announcer;
        QVERIFY(announcer.bound);

        for (int i = 0; i < 3; ++i) {
            announcer.send(announcement("UPDATE", silent.serverPort()), talkerSocket->localPort());
        }
        QVERIFY(QTest::qWaitFor([&] { return silent.request().endsWith(','); }, 3000));
        announcer.send(announcement("UPDATE", other.serverPort()), talkerSocket->localPort());
        QVERIFY(QTest::qWaitFor([&] { return other.accepted == 1; }, 3000)); // other peers are not held up
        QCOMPARE(silent.connections(), 1);
        for (int i = 0; i < 2; ++i) {
            announcer.send(announcement("UPDATE", silent.serverPort()), talkerSocket->localPort());
        }

        QVERIFY(QTest::qWaitFor([&] { return silent.connections() == 2; }, 5000));
        QTest::qWait(1200);
        QCOMPARE(silent.connections(), 2);
        const QString timeout = QString("Warning: Failed to read from \"127.0.0.1\" port \"%1\": ").arg(silent.serverPort());
        QCOMPARE(log.count(timeout), 1);
    }

    void namedPeersAreParsedStrictly()
    {
        QList<NamedPeer> peers;
        QString error;
        QVERIFY2(NamedPeer::parseList({"node1", "10.0.0.7:47001", "node-2.example.org", "node1"}, 47000, peers, error),
                 qPrintable(error));
        QCOMPARE(peers, (QList<NamedPeer>{{"node1", 47000}, {"10.0.0.7", 47001}, {"node-2.example.org", 47000}}));
        for (const QString bad : {"node1:0", "node1:70000", "node1:", "node1:x", ":47000", "ssh://node1", "node 1",
                                   "fe80::1", "node1/24"}) {
            QVERIFY2(!NamedPeer::parseList({"node2", bad}, 47000, peers, error), qPrintable(bad));
            QVERIFY2(error.contains("\"" + bad + "\""), qPrintable(error));
        }
        QStringList many;
        for (int i = 0; i <= NamedPeer::limit; ++i) {
            many << QString("node%1").arg(i);
        }
        QVERIFY(!NamedPeer::parseList(many, 47000, peers, error));
        QVERIFY(NamedPeer::parseList(many.mid(1), 47000, peers, error));
    }

    // The settings file is shared by every host: entries that are this host are skipped. Anyone
    // can announce itself, so the hosts learned that way are bounded, and they go when they fall
    // silent or stop answering.
    void unicastTargetsSkipThisHostAndStayBounded()
    {
        using Target = UnicastTargets::Target;
        UnicastTargets targets;
        const HostAddresses own({QHostAddress("10.9.0.1")});
        targets.setNamed({{"10.9.0.1", 47000}, {"node2", 47000}, {"10.9.0.3", 47001}}, own);
        QCOMPARE(targets.names(), QStringList{"node2"});
        const auto only = [](const char *address, quint16 port) {
            return QList<Target>{Target{QHostAddress(address), port}};
        };
        QCOMPARE(targets.all(0), only("10.9.0.3", 47001));
        QCOMPARE(targets.setResolved("node2", {QHostAddress("10.9.0.1"), QHostAddress("10.9.0.2")}, own),
                 only("10.9.0.2", 47000));
        QCOMPARE(targets.setResolved("node2", {QHostAddress("10.9.0.2")}, own), QList<Target>());
        QCOMPARE(targets.setResolved("node2", {QHostAddress("10.9.0.4")}, own), only("10.9.0.4", 47000));

        QVERIFY(targets.learn(QHostAddress("10.9.0.4"), 47000, 0)); // named already: listed once
        QCOMPARE(targets.all(0).size(), 2);
        for (int i = 1; i < UnicastTargets::learnedLimit; ++i) {
            QVERIFY(targets.learn(QHostAddress(quint32(0x0a0a0000 + i)), 47000, 0));
        }
        const QHostAddress stranger("10.11.0.1");
        QVERIFY(!targets.learn(stranger, 47000, 1000));
        QVERIFY(targets.learn(QHostAddress(quint32(0x0a0a0001)), 47000, 1000)); // a known one is renewed
        QCOMPARE(targets.all(1000).size(), 2 + UnicastTargets::learnedLimit - 1);
        QCOMPARE(targets.all(UnicastTargets::learnedLifetimeMs + 500).size(), 2 + 1);
        QVERIFY(targets.learn(stranger, 47000, UnicastTargets::learnedLifetimeMs + 500));
        targets.forget(stranger);
        targets.forget(QHostAddress(quint32(0x0a0a0001)));
        QCOMPARE(targets.all(UnicastTargets::learnedLifetimeMs + 500).size(), 2);
    }

    // Without a broadcast address, announcements go to the named peers only, at the addresses their
    // names resolve to, and to the hosts that announce themselves to the talker, until such a host
    // stops answering. A name that does not resolve costs one warning a minute and holds up nothing.
    void announcesToNamedAndLearnedPeers()
    {
        LogCapture log;
        Announcer named;
        Announcer learned;
        QVERIFY(named.bound && learned.bound);
        talkerSocket = std::make_unique<QUdpSocket>();
        QVERIFY(talkerSocket->bind(QHostAddress::LocalHost, 0));
        talker = std::make_unique<UdpTalker>(talkerSocket.get(), QHostAddress(), named.port(), ownListenPort,
                                             &store->peers(), keyPath, certificatePath);
        talker->setHostAddresses(HostAddresses(QList<QHostAddress>()));
        PeerQueryTiming timing;
        timing.budgetMs = 1500;
        talker->setQueryTiming(timing);
        // A lookup may end after the test: it owns what it counts.
        const auto failedLookups = std::make_shared<std::atomic<int>>(0);
        talker->setNamedPeers({{"peer-a", named.port()}, {"nowhere", named.port()}},
                              [failedLookups](const QString &name) {
                                  if (name == "peer-a") {
                                      return NameResolver::Answer{{QHostAddress::LocalHost}, {}};
                                  }
                                  QThread::msleep(300); // a resolver that takes its time to give up
                                  ++*failedLookups;
                                  return NameResolver::Answer{{}, "Name or service not known"};
                              });
        auto methodsAt = [](Announcer &announcer) {
            QStringList methods;
            for (const QNetworkDatagram &datagram : announcer.received()) {
                methods << QString::fromUtf8(datagram.data()).section('"', 3, 3);
            }
            return methods;
        };

        QElapsedTimer clock;
        clock.start();
        talker->sendHello(); // the name is not known yet: the HELLO goes out once it is
        talker->sendUpdate();
        QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(QTest::qWaitFor([&] { return methodsAt(named) == QStringList({"HELLO"}); }, 3000));
        QVERIFY(QTest::qWaitFor([&] { return *failedLookups == 1; }, 3000));
        talker->sendUpdate();
        QVERIFY(QTest::qWaitFor([&] { return methodsAt(named) == QStringList({"HELLO", "UPDATE"}); }, 3000));
        QVERIFY(QTest::qWaitFor([&] { return *failedLookups == 2; }, 3000));
        QTest::qWait(100);
        QCOMPARE(log.count("Warning: Failed to resolve the peer \"nowhere\": Name or service not known"), 1);

        // A host that announces itself directly gets the announcements too, while it answers.
        QString error;
        QSslCertificate certificate;
        QSslKey key;
        QVERIFY(readCertificate(certificatePath, certificate, error) && readPrivateKey(keyPath, key, error));
        ScriptedPeer silent(certificate, key);
        QVERIFY(silent.start());
        learned.send(announcement("UPDATE", silent.serverPort()), talkerSocket->localPort());
        QVERIFY(QTest::qWaitFor([&] { return silent.request().endsWith(','); }, 3000));
        talker->sendUpdate();
        QVERIFY(QTest::qWaitFor([&] { return methodsAt(learned) == QStringList({"UPDATE"}); }, 3000));
        QVERIFY(log.waitFor("Warning: Failed to read from"));
        QTest::qWait(100);
        talker->sendUpdate();
        QVERIFY(QTest::qWaitFor([&] { return methodsAt(named).size() == 4; }, 3000));
        QTest::qWait(200);
        QCOMPARE(methodsAt(learned), QStringList({"UPDATE"}));
    }

    // A named host that started after this server missed its HELLO and need not name it back: it
    // is greeted again until it is heard from, and then left to the usual announcements.
    void greetsNamedPeersUntilTheyAreHeardFrom()
    {
        LogCapture log; // the query of the peer's closed port fails and is logged
        Announcer named;
        QVERIFY(named.bound);
        talkerSocket = std::make_unique<QUdpSocket>();
        QVERIFY(talkerSocket->bind(QHostAddress::LocalHost, 0));
        talker = std::make_unique<UdpTalker>(talkerSocket.get(), QHostAddress(), named.port(), ownListenPort,
                                             &store->peers(), keyPath, certificatePath);
        talker->setHostAddresses(HostAddresses(QList<QHostAddress>()));
        talker->setNamedPeers({{"127.0.0.1", named.port()}});
        talker->setGreetingInterval(100);
        auto hellos = [&named] {
            int count = 0;
            for (const QNetworkDatagram &datagram : named.received()) {
                count += datagram.data().contains("\"HELLO\"") ? 1 : 0;
            }
            return count;
        };
        QVERIFY(QTest::qWaitFor([&] { return hellos() >= 2; }, 3000));

        named.send(announcement("UPDATE", 1), talkerSocket->localPort());
        QTest::qWait(300);
        const int greeted = hellos();
        QTest::qWait(600);
        QCOMPARE(hellos(), greeted);
    }

    // Whatever strangers make the server log comes once a minute per key at most, with a count of
    // what was left out; keys beyond the ones remembered are counted too.
    void throttledLogCountsWhatItLeavesOut()
    {
        LogCapture log;
        qint64 now = 0;
        ThrottledLog throttled([&now] { return now; });
        for (int i = 0; i < 3; ++i) {
            throttled.warn("peer", "failed");
            now += 1000;
        }
        now = ThrottledLog::intervalMs;
        throttled.warn("peer", "failed");
        for (int key = 0; key <= ThrottledLog::keyLimit; ++key) {
            throttled.warn(QString::number(key), "other");
        }
        now += ThrottledLog::intervalMs;
        throttled.warn("last", "failed");
        QStringList expected = {"Warning: failed", "Warning: failed (2 more times since the last report)"};
        for (int key = 0; key < ThrottledLog::keyLimit - 1; ++key) {
            expected << "Warning: other";
        }
        expected << "Warning: failed (and 2 warnings about others left out)";
        QCOMPARE(log.lines(), expected);
    }

    void destructionWaitsForRunningQueries()
    {
        LogCapture log;
        createTalker(HostAddresses(QList<QHostAddress>()), 1000);
        QString error;
        QSslCertificate certificate;
        QSslKey key;
        QVERIFY(readCertificate(certificatePath, certificate, error) && readPrivateKey(keyPath, key, error));
        ScriptedPeer silent(certificate, key);
        QVERIFY(silent.start());
        SessionRecord record;
        record.setId("stale");
        store->peers().set(peerKey(QHostAddress::LocalHost, silent.serverPort()), QDateTime::currentDateTime().addSecs(400),
                       {record});
        Announcer announcer;
        QVERIFY(announcer.bound);
        announcer.send(announcement("UPDATE", silent.serverPort()), talkerSocket->localPort());
        QVERIFY(QTest::qWaitFor([&] { return silent.request().endsWith(','); }, 3000));

        // The peer stays silent while the talker goes, so the query can only end by its budget.
        QElapsedTimer clock;
        clock.start();
        talker.reset();
        QVERIFY2(clock.elapsed() >= 500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(store->peers().records().isEmpty()); // the query's failure is already recorded
        QCOMPARE(log.count("Warning: Failed to read from"), 1);
    }
};

QTEST_GUILESS_MAIN(UdpTalkerTest)
#include "tst_udp_talker.moc"

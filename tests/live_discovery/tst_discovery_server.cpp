#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// Local ports of the UDP sockets that the process holds. An unbound socket that never sent does
// not exist for the kernel yet, and the first send binds it to some port.
QList<int> udpPortsOf(qint64 pid)
{
    QSet<QByteArray> inodes;
    const QDir fds(QString("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = fd.symLinkTarget().section('/', -1);
        if (target.startsWith("socket:[")) {
            inodes << target.mid(8).chopped(1).toLatin1();
        }
    }
    QList<int> ports;
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray &line : file.readAll().split('\n').mid(1)) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 9 && inodes.contains(fields.at(9))) {
                ports << fields.at(1).split(':').last().toInt(nullptr, 16);
            }
        }
    }
    return ports;
}

QByteArray announcement(const char *method, quint16 port, const QString &user)
{
    return QString("{\"Method\":\"%1\",\"Port\":%2,\"User\":\"%3\"}\n").arg(method).arg(port).arg(user).toUtf8();
}

} // namespace

// What the real server sends over UDP, and how its start-up treats the discovery settings.
class DiscoveryServerTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ServerRunner> server;
    std::unique_ptr<RpcClient> client;
    QStringList sessions;

    void launch()
    {
        QVERIFY(env->createUserPath());
        const LaunchResult launched = server->launch();
        QVERIFY2(launched.finished && launched.exitCode == 0, launched.standardError.constData());
        QVERIFY(server->port() != 0);
        client = std::make_unique<RpcClient>();
        QVERIFY(server->connectClient(*client));
    }

    QString startSession()
    {
        const QString id = RpcClient::newSessionId();
        if (!client->startSession(id, "xterm", "1024x768").isMember("result")) {
            return QString();
        }
        sessions << id;
        return id;
    }

private slots:
    void init()
    {
        env = std::make_unique<TestEnvironment>();
        env->setSetting("DisplayBase", 140);
        env->setSetting("DisplayLimit", 10);
        server = std::make_unique<ServerRunner>(*env);
    }

    // Sessions outlive their server, so they are ended here.
    void cleanup()
    {
        for (const QString &id : std::as_const(sessions)) {
            if (!client->call("Live.Terminate", RpcClient::idParams(id)).isObject()) {
                qWarning("session %s was not terminated", qPrintable(id));
            }
        }
        sessions.clear();
        client.reset();
        server.reset();
        env.reset();
    }

    void announcesAtStartAndWhenSessionsChange()
    {
        QUdpSocket receiver;
        // Bound to the address itself, it receives what the server sends there, although the
        // server listens on the same port (on every address).
        QVERIFY(receiver.bind(QHostAddress::LocalHost, 0, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        env->setSetting("BroadcastPort", receiver.localPort());
        env->setSetting("BroadcastAddress", "127.0.0.1");
        launch();
        QList<QByteArray> datagrams;
        auto drain = [&] {
            while (receiver.hasPendingDatagrams()) {
                datagrams << receiver.receiveDatagram().data();
            }
            return !datagrams.isEmpty();
        };

        QVERIFY(QTest::qWaitFor(drain, 5000));
        QCOMPARE(datagrams.first(), announcement("HELLO", server->port(), env->user()));
        QCOMPARE(udpPortsOf(server->pid()), QList<int>({receiver.localPort()}));

        // The updater's first round always announces; after that an unchanged list stays quiet.
        QTest::qWait(1500);
        drain();
        for (const QByteArray &datagram : datagrams.mid(1)) {
            QCOMPARE(datagram, announcement("UPDATE", server->port(), env->user()));
        }
        datagrams.clear();
        QTest::qWait(1000);
        QVERIFY(!drain());

        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        QVERIFY(QTest::qWaitFor(drain, 10000));
        QCOMPARE(datagrams.first(), announcement("UPDATE", server->port(), env->user()));

        // A server that is told to stop says so, no longer answering, so that its peers' query fails
        // and they drop its sessions at once.
        QVERIFY(client->call("Live.Terminate", RpcClient::idParams(id)).isObject());
        sessions.clear();
        QTest::qWait(1000);
        drain();
        datagrams.clear();
        const quint16 port = server->port();
        QVERIFY(::kill(pid_t(server->pid()), SIGTERM) == 0);
        QVERIFY(QTest::qWaitFor(drain, 5000));
        QCOMPARE(datagrams.first(), announcement("UPDATE", port, env->user()));
        QTcpSocket query;
        query.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!query.waitForConnected(2000));
        QVERIFY(server->waitForExit(10000));
    }

    void discoveryOffSendsNothing()
    {
        env->setSetting("BroadcastAddress", "127.0.0.1");
        launch();
        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        Json::Value update;
        QVERIFY(client->waitForNotification("UpdateSessions", update, 10000)); // the list changed
        QTest::qWait(500);
        QCOMPARE(udpPortsOf(server->pid()), QList<int>());
    }

    // Both are checked although discovery is off, so that a typing error shows at once.
    void startUpFailsOnUnusableDiscoverySettings()
    {
        QVERIFY(env->createUserPath());
        const QList<QPair<QString, QByteArray>> cases = {
            {"BroadcastAddress", ": Critical: Invalid broadcast address \"not-an-address\"\n"},
            {"Peers", ": Critical: Invalid setting \"Peers\": \"node2:port\" has no port between 1 and 65535 after the "
                      "colon\n"},
        };
        env->setSetting("Peers", QStringList{"node1", "node2:port"});
        env->setSetting("BroadcastAddress", "not-an-address");
        for (const auto &[key, message] : cases) {
            const LaunchResult launched = server->launch();
            QVERIFY(launched.finished);
            QCOMPARE(launched.exitCode, 1);
            QVERIFY2(launched.standardError.contains(message), launched.standardError.constData());
            QVERIFY(!QFile::exists(env->userFile("server_pid")));
            QVERIFY(!QFile::exists(env->userFile("server_port")));
            env->removeSetting(key);
        }
    }

    void startUpFailsWhenTheBroadcastPortIsTaken()
    {
        QUdpSocket occupant;
        QVERIFY(occupant.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
        env->setSetting("BroadcastPort", occupant.localPort());
        QVERIFY(env->createUserPath());
        const LaunchResult launched = server->launch();
        QVERIFY(launched.finished);
        QCOMPARE(launched.exitCode, 1);
        const QByteArray expected =
            QString(": Critical: Failed to listen for UDP connections on port \"%1\": ").arg(occupant.localPort()).toUtf8();
        QVERIFY2(launched.standardError.contains(expected), launched.standardError.constData());
        QVERIFY(!QFile::exists(env->userFile("server_port")));
    }
};

QTEST_GUILESS_MAIN(DiscoveryServerTest)
#include "tst_discovery_server.moc"

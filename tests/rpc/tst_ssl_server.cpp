// The TLS listener and responder in-process, with certificates made for the test: who is admitted,
// and that nothing reaches a client the server has not verified.

#include "common/files.h"
#include "server/rpc/handler.h"
#include "common/netstring.h"
#include "server/rpc/dispatcher.h"
#include "server/rpc/live_methods.h"
#include "server/rpc/ssl_responder.h"
#include "server/rpc/ssl_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/rpc_client.h"
#include "tests/support/test_certificates.h"

#include <QPointer>
#include <QSet>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray updateFrame =
    encodeNetString("{\"jsonrpc\":\"2.0\",\"method\":\"UpdateSessions\",\"params\":null}\n");

} // namespace

class SslServerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QSslCertificate certificate;
    QSslKey key;
    QSslCertificate otherCertificate;
    QSslKey otherKey;

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<SslServer> server;
    Dispatcher dispatcher;
    std::unique_ptr<SslResponder> responder;

    QString path(const QString &name) const { return dir.path() + "/" + name; }

    QString unverifiedWarning(quint16 port) const
    {
        return QStringLiteral("Warning: A unverified client attempted to connect from \"127.0.0.1\" port \"%1\"").arg(port);
    }

    int handlerCount() const { return server->findChildren<Handler *>().size(); }

private slots:
    void initTestCase()
    {
        addLiveMethods(dispatcher, nullptr); // only the methods that need no session store are called
        QVERIFY(dir.isValid());
        QString error;
        QVERIFY2(createCertificate(path("cert"), path("key"), error), qPrintable(error));
        QVERIFY2(createCertificate(path("other_cert"), path("other_key"), error), qPrintable(error));
        QVERIFY2(readCertificate(path("cert"), certificate, error), qPrintable(error));
        QVERIFY2(readPrivateKey(path("key"), key, error), qPrintable(error));
        QVERIFY2(readCertificate(path("other_cert"), otherCertificate, error), qPrintable(error));
        QVERIFY2(readPrivateKey(path("other_key"), otherKey, error), qPrintable(error));
    }

    void init()
    {
        log = std::make_unique<LogCapture>();
        // What the server reports to its user; its debug lines are not what these tests check.
        log->setLevel(Logging::Info);
        server = std::make_unique<SslServer>();
        server->setPrivateKey(key);
        server->setLocalCertificate(certificate);
        QVERIFY(server->listen(QHostAddress::LocalHost, 0));
        responder = std::make_unique<SslResponder>(&dispatcher);
        connect(server.get(), &SslServer::newConnection, responder.get(), &SslResponder::newConnection);
    }

    void cleanup()
    {
        responder.reset();
        server.reset();
        log.reset();
    }

    void clientWithTheServersCertificateIsServed()
    {
        RpcClient client;
        client.setIdentity(certificate, key);
        QVERIFY(client.connectToServer(server->serverPort()));
        QCOMPARE(client.serverCertificate(), certificate);
        Json::Value response;
        QVERIFY(client.call("system.describe", Json::Value(), 1, response));
        QVERIFY(response["result"].isMember("Live.GetVersion"));
        QVERIFY(response["result"].isMember("system.describe"));
        QVERIFY(client.isConnected());
        QCOMPARE(log->lines(), QStringList());
    }

    // The peer finishes its side of the handshake and may even send a request, but it is logged,
    // cut off, and never reads a byte.
    void unverifiedClientsAreCutOffWithoutData_data()
    {
        QTest::addColumn<bool>("withCertificate");
        QTest::newRow("no certificate") << false;
        QTest::newRow("another self-signed certificate") << true;
    }

    void unverifiedClientsAreCutOffWithoutData()
    {
        QFETCH(bool, withCertificate);
        RpcClient client;
        if (withCertificate) {
            client.setIdentity(otherCertificate, otherKey);
        }
        if (client.connectToServer(server->serverPort())) {
            client.sendRequest("system.describe", Json::Value(), 1);
        }
        QVERIFY(client.waitForDisconnected(5000));
        QVERIFY(client.localPort() != 0);
        QCOMPARE(log->lines(), QStringList{unverifiedWarning(client.localPort())});
        QCOMPARE(client.receivedBytes(), QByteArray());
        QTRY_COMPARE(handlerCount(), 0);
    }

    // A notification produced while the handshake still runs waits for the certificate check: the
    // verified client gets it, the unverified one gets nothing.
    void outputBeforeVerificationIsHeldBack_data()
    {
        QTest::addColumn<bool>("verified");
        QTest::newRow("verified client") << true;
        QTest::newRow("client without certificate") << false;
    }

    void outputBeforeVerificationIsHeldBack()
    {
        QFETCH(bool, verified);
        int notifiedEarly = 0;
        qint64 queuedEarly = 0;
        connect(server.get(), &SslServer::newConnection, this, [&] {
            for (QSslSocket *socket : server->findChildren<QSslSocket *>(Qt::FindDirectChildrenOnly)) {
                Handler *handler = socket->findChild<Handler *>();
                if (handler && !socket->isEncrypted()) {
                    handler->writeToDevice(updateFrame);
                    ++notifiedEarly;
                    queuedEarly += socket->bytesToWrite();
                }
            }
        });
        RpcClient client;
        if (verified) {
            client.setIdentity(certificate, key);
        }
        client.connectToServer(server->serverPort());
        QCOMPARE(notifiedEarly, 1);
        // Not even handed to the socket, whose close() would flush it.
        QCOMPARE(queuedEarly, qint64(0));
        if (verified) {
            Json::Value notification;
            QVERIFY(client.waitForNotification("UpdateSessions", notification));
            QCOMPARE(client.receivedBytes(), updateFrame);
            QVERIFY(client.isConnected());
        } else {
            QVERIFY(client.waitForDisconnected(5000));
            client.idle(100);
            QCOMPARE(client.receivedBytes(), QByteArray());
        }
    }

    // A peer that never finishes its handshake cannot make the server hoard output.
    void heldOutputIsBounded()
    {
        RpcClient client;
        QVERIFY(client.connectPlain(server->serverPort()));
        QTRY_COMPARE(handlerCount(), 1);
        Handler *handler = server->findChild<Handler *>();
        const QByteArray chunk = encodeNetString(QByteArray(Handler::heldOutputLimit / 2, 'x'));
        handler->writeToDevice(chunk);
        handler->writeToDevice(chunk);
        QVERIFY(client.isConnected());
        handler->writeToDevice(chunk);
        QVERIFY(client.waitForDisconnected(5000));
        QVERIFY(!client.receivedBytes().contains("xxxx"));
    }

    // A verified client that never reads: once its unsent output passes the cap (notifications
    // come whether it reads or not), it is disconnected with a Warning.
    void clientLeavingTooMuchUnreadIsDisconnected()
    {
        RpcClient client;
        client.setIdentity(certificate, key);
        QVERIFY(client.connectToServer(server->serverPort()));
        QTRY_VERIFY(server->findChild<QSslSocket *>() && server->findChild<QSslSocket *>()->isEncrypted());
        client.stopReading();
        const QPointer<Handler> handler = server->findChild<Handler *>();
        QVERIFY(handler);
        const QByteArray chunk = encodeNetString(QByteArray(1048576, 'x'));
        for (int i = 0; i < 8; ++i) {
            handler->writeToDevice(chunk);
        }
        QTest::qWait(100);
        QVERIFY(client.isConnected()); // half the cap, and what the network holds, is still allowed
        for (int i = 0; i < 40 && handler; ++i) {
            handler->writeToDevice(chunk);
            QTest::qWait(10);
        }
        // The client reads nothing, so it is the server's side that shows the end.
        QTRY_COMPARE(handlerCount(), 0);
        const QString warning =
            QString("Warning: Disconnecting the client from \"127.0.0.1\" port \"%1\": it leaves ").arg(client.localPort());
        QCOMPARE(log->lines().size(), 1);
        QVERIFY2(log->lines().first().startsWith(warning), qPrintable(log->lines().first()));
    }

    // Out of descriptors, the listener pauses briefly rather than spinning on a failing accept, and
    // takes the waiting client once a descriptor is free again.
    void acceptingPausesWhileDescriptorsRunOut()
    {
        struct Fill
        {
            rlimit saved = {};
            std::vector<int> fds;
            ~Fill()
            {
                for (const int fd : fds) {
                    ::close(fd);
                }
                ::setrlimit(RLIMIT_NOFILE, &saved);
            }
        } fill;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &fill.saved), 0);
        // A limit a little above the descriptors in use, all of them taken but one for the client.
        int highest = ::dup(0);
        ::close(highest);
        rlimit lowered = fill.saved;
        lowered.rlim_cur = rlim_t(highest + 32);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
            fill.fds.push_back(fd);
        }
        ::close(fill.fds.back());
        fill.fds.pop_back();

        RpcClient client;
        client.setIdentity(certificate, key);
        rusage before;
        ::getrusage(RUSAGE_SELF, &before);
        QVERIFY(!client.connectToServer(server->serverPort(), 1000)); // the server cannot take it in
        rusage after;
        ::getrusage(RUSAGE_SELF, &after);
        const auto micros = [](const timeval &time) { return qint64(time.tv_sec) * 1000000 + time.tv_usec; };
        const qint64 busyMs = (micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime)
                               - micros(before.ru_stime)) / 1000;
        QVERIFY2(busyMs < 300, qPrintable(QString("%1 ms of CPU in a second").arg(busyMs)));

        ::close(fill.fds.back());
        fill.fds.pop_back();
        QTRY_VERIFY_WITH_TIMEOUT(client.wasEncrypted(), 3000);
        // The undefined-behaviour checker reads unknown memory through a pipe of its own, and a
        // method's first call is such a read: leave it the descriptors for that pipe.
        for (int i = 0; i < 2; ++i) {
            ::close(fill.fds.back());
            fill.fds.pop_back();
        }
        Json::Value response;
        QVERIFY(client.call("Live.GetVersion", Json::Value(), 1, response));
        QCOMPARE(log->count("Warning: Failed to accept a connection: "), 1);
    }

    // Not speaking TLS gets the connection closed and not a byte, not even a TLS alert.
    void plainTcpClientGetsNothing()
    {
        RpcClient client;
        QVERIFY(client.connectPlain(server->serverPort()));
        client.sendFrame(R"({"jsonrpc":"2.0","id":1,"method":"system.describe"})");
        QVERIFY(client.waitForDisconnected(5000));
        QCOMPARE(client.receivedBytes(), QByteArray());
        QTRY_COMPARE(handlerCount(), 0);
    }

    // Each connection has its own handler; one going away leaves the other working.
    void connectionsAreIndependent()
    {
        RpcClient first;
        RpcClient second;
        first.setIdentity(certificate, key);
        second.setIdentity(certificate, key);
        QVERIFY(first.connectToServer(server->serverPort()));
        QVERIFY(second.connectToServer(server->serverPort()));
        Json::Value response;
        QVERIFY(first.call("Live.GetVersion", Json::Value(), 1, response));
        QVERIFY(second.call("Live.GetVersion", Json::Value(), 1, response));
        QCOMPARE(handlerCount(), 2);
        QVERIFY(server->findChildren<Handler *>().at(0) != server->findChildren<Handler *>().at(1));

        first.abort();
        QTRY_COMPARE(handlerCount(), 1);
        QVERIFY(second.call("Live.GetVersion", Json::Value(), 2, response));
        QCOMPARE(response["id"], Json::Value(2));
    }
};

QTEST_GUILESS_MAIN(SslServerTest)
#include "tst_ssl_server.moc"

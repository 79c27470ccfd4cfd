// The remote procedure service of the real lumen_server, seen from the wire: who is admitted, the
// exact bytes of its answers, and how it treats broken input.

#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_environment.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QtTest>

#include <json/reader.h>
#include <json/writer.h>

#include <csignal>
#include <sstream>
#include <memory>

namespace {

QByteArray frame(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

QByteArray errorAnswer(int code, const char *message, const char *id = "null")
{
    return QByteArray("{\"error\":{\"code\":") + QByteArray::number(code) + ",\"message\":\"" + message + "\"},\"id\":" + id
           + ",\"jsonrpc\":\"2.0\"}\n";
}

QByteArray versionAnswer(const char *id)
{
    return QByteArray("{\"id\":") + id + ",\"jsonrpc\":\"2.0\",\"result\":\"1.0.38\"}\n";
}

const QByteArray invalid = errorAnswer(-32600, "Invalid JSON-RPC request.");
} // namespace

class RpcServerTest : public QObject
{
    Q_OBJECT

private:
    TestEnvironment env;
    std::unique_ptr<ServerRunner> server;
    quint16 port = 0;

    QString certificatePath() const { return env.userPath() + "/../server_cert"; }

    // The payloads the server sent in answer to `payload`: a marker request follows it, and since
    // requests are answered in order, whatever came before the marker's answer belongs to it.
    QList<QByteArray> answersTo(RpcClient &client, const QByteArray &payload)
    {
        const int before = client.payloads().size();
        client.sendFrame(payload);
        client.sendRequest("Live.GetVersion", Json::Value(), "marker");
        Json::Value response;
        if (!client.waitForResponse("marker", response)) {
            return {"<no answer to the marker>"};
        }
        QList<QByteArray> answers;
        for (const QByteArray &payload : client.payloads().mid(before)) {
            if (!isNotification(payload)) {
                answers << payload;
            }
        }
        answers.removeLast();
        return answers;
    }

    int logCount(const QString &text) const { return server->log().count(text); }

    // Session update notifications may arrive between answers at any time.
    static bool isNotification(const QByteArray &payload)
    {
        Json::Value value;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        return reader->parse(payload.constData(), payload.constData() + payload.size(), &value, nullptr)
               && value.isObject() && value.isMember("method") && !value.isMember("id");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(env.isValid());
        env.setSetting("LogLevel", "Debug1");
        env.setSetting("ListenPort", 0);
        // Under AddressSanitizer freed memory waits in a quarantine (256 MiB by default) before it is
        // reused, and would count as the server's own in the memory test; a small one keeps it honest.
        const QString sanitizerOptions = qEnvironmentVariable("ASAN_OPTIONS");
        env.setVariable("ASAN_OPTIONS",
                        (sanitizerOptions.isEmpty() ? QString() : sanitizerOptions + ":") + "quarantine_size_mb=8");
        QVERIFY(env.createUserPath());
        server = std::make_unique<ServerRunner>(env);
        const LaunchResult launched = server->launch();
        QVERIFY(launched.finished);
        QCOMPARE(launched.standardError, QByteArray());
        QCOMPARE(launched.exitCode, 0);
        port = server->port();
    }

    void cleanupTestCase()
    {
        QVERIFY(server->stop(SIGTERM));
        QVERIFY(!QFileInfo::exists(env.userFile("server_port")));
    }

    // With ListenPort 0 the system picks the port; the file names that one, and start-up reached it
    // in order, before the launcher returned.
    void portFileNamesTheBoundPort()
    {
        QFile file(env.userFile("server_port"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(port != 0);
        QCOMPARE(text, QByteArray::number(port));
        QCOMPARE(file.permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                         | QFileDevice::WriteUser);
        const QString log = server->log();
        const int read = log.indexOf(": Debug1: Reading the certificate files");
        const int listen = log.indexOf(": Debug1: Creating the SSL socket");
        const int write = log.indexOf(": Debug1: Writing the port file");
        const int signals_ = log.indexOf(": Debug1: Setting up signal handlers");
        QVERIFY(log.indexOf(": Debug1: Creating the session directory") < read);
        QVERIFY(read >= 0 && read < listen && listen < write && write < signals_);

        RpcClient client;
        QVERIFY(server->connectClient(client));
        QCOMPARE(client.serverCertificate().toPem(), QSslCertificate::fromPath(certificatePath()).value(0).toPem());
    }

    void answersExactly_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QList<QByteArray>>("answers");
        const QList<QByteArray> nothing;
        QTest::newRow("not JSON") << QByteArray("{\"jsonrpc\":") << QList<QByteArray>{errorAnswer(-32700, "Parse error.")};
        QTest::newRow("empty payload") << QByteArray() << QList<QByteArray>{errorAnswer(-32700, "Parse error.")};
        QTest::newRow("null id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":null})") << QList<QByteArray>{invalid};
        QTest::newRow("array id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":[1]})") << QList<QByteArray>{invalid};
        QTest::newRow("object id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":{}})") << QList<QByteArray>{invalid};
        QTest::newRow("no jsonrpc") << QByteArray(R"({"method":"Live.GetVersion","id":1})") << QList<QByteArray>{invalid};
        QTest::newRow("jsonrpc 1.0") << QByteArray(R"({"jsonrpc":"1.0","method":"Live.GetVersion","id":1})") << QList<QByteArray>{invalid};
        QTest::newRow("jsonrpc as number") << QByteArray(R"({"jsonrpc":2.0,"method":"Live.GetVersion","id":1})") << QList<QByteArray>{invalid};
        QTest::newRow("method a number") << QByteArray(R"({"jsonrpc":"2.0","method":42,"id":1})") << QList<QByteArray>{invalid};
        QTest::newRow("no method") << QByteArray(R"({"jsonrpc":"2.0","id":1})") << QList<QByteArray>{invalid};
        QTest::newRow("bare number") << QByteArray("42") << QList<QByteArray>{invalid};
        QTest::newRow("bare string") << QByteArray("\"Live.GetVersion\"") << QList<QByteArray>{invalid};
        QTest::newRow("unknown method") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.Nothing","id":9})")
                                        << QList<QByteArray>{errorAnswer(-32601, "Method not found.", "9")};
        QTest::newRow("name in the wrong case") << QByteArray(R"({"jsonrpc":"2.0","method":"live.getversion","id":"a"})")
                                                << QList<QByteArray>{errorAnswer(-32601, "Method not found.", "\"a\"")};
        QTest::newRow("live.start") << QByteArray(R"({"jsonrpc":"2.0","method":"live.start","id":2})")
                                    << QList<QByteArray>{errorAnswer(-32601, "Method not found.", "2")};
        QTest::newRow("notification") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion"})") << nothing;
        QTest::newRow("notification of unknown method") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.Nothing"})") << nothing;
        QTest::newRow("empty batch") << QByteArray("[]") << nothing;
        QTest::newRow("null") << QByteArray("null") << nothing;
        QTest::newRow("batch of bare values") << QByteArray("[1,2]")
                                              << QList<QByteArray>{"[" + invalid.chopped(1) + "," + invalid.chopped(1) + "]\n"};
        QTest::newRow("batch of request and notification")
            << QByteArray(R"([{"jsonrpc":"2.0","method":"Live.GetVersion","id":1},{"jsonrpc":"2.0","method":"Live.GetVersion"}])")
            << QList<QByteArray>{"[" + versionAnswer("1").chopped(1) + "]\n"};
        QTest::newRow("string id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":"abc"})")
                                   << QList<QByteArray>{versionAnswer("\"abc\"")};
        QTest::newRow("negative integer id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":-7})")
                                             << QList<QByteArray>{versionAnswer("-7")};
        QTest::newRow("real id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":1.5})")
                                 << QList<QByteArray>{versionAnswer("1.5")};
        QTest::newRow("true id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":true})")
                                 << QList<QByteArray>{versionAnswer("true")};
        QTest::newRow("false id") << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":false})")
                                  << QList<QByteArray>{versionAnswer("false")};
        QTest::newRow("params ignored by GetVersion")
            << QByteArray(R"({"jsonrpc":"2.0","method":"Live.GetVersion","id":3,"params":[1,2,3]})")
            << QList<QByteArray>{versionAnswer("3")};
    }

    void answersExactly()
    {
        QFETCH(QByteArray, request);
        QFETCH(QList<QByteArray>, answers);
        RpcClient client;
        QVERIFY(server->connectClient(client));
        QCOMPARE(answersTo(client, request), answers);
        QVERIFY(client.isConnected());
    }

    // Each answer is one frame around compact JSON (no white space, keys in ascending order) and
    // one line feed, which the length counts; "system.describe" is the same whatever "params" holds.
    void framesCompactJsonWithOneLineFeed()
    {
        RpcClient client;
        QVERIFY(server->connectClient(client));
        QByteArray first;
        for (const char *params : {"", ",\"params\":null", ",\"params\":[1]", ",\"params\":{\"x\":\"y\"}", ",\"params\":7"}) {
            const QList<QByteArray> answers =
                answersTo(client, QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"system.describe\"") + params + "}");
            QCOMPARE(answers.size(), 1);
            if (first.isEmpty()) {
                first = answers.first();
            }
            QCOMPARE(answers.first(), first);
        }
        QVERIFY(client.receivedBytes().contains(frame(first)));
        QVERIFY(first.endsWith("}\n"));
        QCOMPARE(first.count('\n'), 1);

        Json::Value response;
        Json::CharReaderBuilder reader;
        std::string errors;
        std::istringstream stream(first.toStdString());
        QVERIFY(Json::parseFromStream(reader, stream, &response, &errors));
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        QCOMPARE(first, QByteArray::fromStdString(Json::writeString(writer, response) + "\n"));

        const Json::Value result = response["result"];
        std::vector<std::string> names = result.getMemberNames();
        QCOMPARE(names, (std::vector<std::string>{"Live.GetVersion", "Live.ListLocalSessions", "Live.ListSessions",
                                                  "Live.Replay", "Live.Resume", "Live.Start", "Live.Suspend",
                                                  "Live.Terminate", "system.describe"}));
        QCOMPARE(QByteArray::fromStdString(Json::writeString(writer, result["system.describe"])),
                 QByteArray("{\"description\":\"List the RPC methods available\",\"parameters\":null,"
                            "\"returns\":\"Object that contains description of all methods registered\"}"));
        QCOMPARE(QByteArray::fromStdString(Json::writeString(writer, result["Live.GetVersion"])),
                 QByteArray("{\"description\":\"Returns the server version.\",\"parameters\":null,"
                            "\"returns\":\"The server version.\"}"));
    }

    void framesAreAnsweredInOrder()
    {
        RpcClient client;
        QVERIFY(server->connectClient(client));
        client.sendRaw(frame(R"({"jsonrpc":"2.0","id":"first","method":"system.describe"})")
                       + frame(R"({"jsonrpc":"2.0","id":"second","method":"Live.GetVersion"})"));
        Json::Value first;
        Json::Value second;
        QVERIFY(client.waitForNextResponse(first));
        QVERIFY(client.waitForNextResponse(second));
        QCOMPARE(first["id"].asString(), std::string("first"));
        QCOMPARE(second["id"].asString(), std::string("second"));
    }

    // A broken frame ends the connection without waiting for more and without an answer.
    void brokenFramesCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("warning");
        QTest::newRow("announced length 65537") << QByteArray("65537:") << "Invalid NetString length";
        QTest::newRow("six bytes without colon") << QByteArray("123456") << "Invalid NetString length";
        QTest::newRow("comma missing") << QByteArray("2:{}}") << "Missing NetString comma";
    }

    void brokenFramesCloseTheConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, warning);
        const QString line = ": Warning: " + warning;
        const int before = logCount(line);
        RpcClient client;
        QVERIFY(server->connectClient(client));
        client.sendRaw(bytes);
        QVERIFY(client.waitForDisconnected(5000));
        QCOMPARE(client.receivedBytes(), QByteArray());
        QTRY_COMPARE(logCount(line), before + 1);
    }

    void unverifiedClientsAreLoggedAndClosed_data()
    {
        QTest::addColumn<bool>("withCertificate");
        QTest::newRow("no certificate") << false;
        QTest::newRow("another self-signed certificate") << true;
    }

    void unverifiedClientsAreLoggedAndClosed()
    {
        QFETCH(bool, withCertificate);
        RpcClient client;
        if (withCertificate) {
            const QString other = env.tmpDir() + "/other";
            QString error;
            QVERIFY2(createCertificate(other + "_cert", other + "_key", error), qPrintable(error));
            QVERIFY2(client.setIdentity(other + "_cert", other + "_key", error), qPrintable(error));
        }
        if (client.connectToServer(port)) {
            client.sendRequest("Live.GetVersion", Json::Value(), 1);
        }
        QVERIFY(client.waitForDisconnected(5000));
        QCOMPARE(client.receivedBytes(), QByteArray());
        QVERIFY(server->waitForLog(QStringLiteral(": Warning: A unverified client attempted to connect from \"127.0.0.1\" port \"%1\"")
                                       .arg(client.localPort())));
    }

    void plainTcpClientGetsNothing()
    {
        RpcClient client;
        QVERIFY(client.connectPlain(port));
        client.sendFrame(R"({"jsonrpc":"2.0","id":1,"method":"Live.GetVersion"})");
        QVERIFY(client.waitForDisconnected(5000));
        QCOMPARE(client.receivedBytes(), QByteArray());
    }

    // A client that leaves while its request runs costs the others nothing.
    void clientLeavingMidRequestDoesNotDisturbOthers()
    {
        RpcClient staying;
        QVERIFY(server->connectClient(staying));
        for (int i = 0; i < 5; ++i) {
            RpcClient leaving;
            QVERIFY(server->connectClient(leaving));
            leaving.sendRequest("system.describe", Json::Value(), 1);
            leaving.abort();
        }
        Json::Value response;
        QVERIFY(staying.call("Live.GetVersion", Json::Value(), 2, response));
        QCOMPARE(response["result"].asString(), std::string("1.0.38"));
        QVERIFY(server->isRunning());
        QVERIFY(!server->log().contains(": Critical: "));
    }

    // A verified client that pipelines large requests and never reads the answers: the server stops
    // taking its requests rather than piling the answers up, and goes on serving the others.
    void clientThatNeverReadsIsHeldBack()
    {
        const qint64 residentBefore = server->residentKiB();
        RpcClient greedy;
        QVERIFY(server->connectClient(greedy));
        greedy.stopReading();
        // The 60 000-character id comes back in every answer.
        const QByteArray request =
            frame("{\"jsonrpc\":\"2.0\",\"method\":\"Live.GetVersion\",\"id\":\"" + QByteArray(60000, 'p') + "\"}");
        qint64 sent = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 8000) {
            if (greedy.unsentBytes() < 4 * 1024 * 1024) {
                greedy.sendRaw(request.repeated(16));
                sent += 16 * request.size();
            }
            QTest::qWait(10);
        }
        const qint64 grownKiB = server->residentKiB() - residentBefore;
        qInfo("offered %lld MiB of requests; the server grew by %lld KiB", static_cast<long long>(sent >> 20),
              static_cast<long long>(grownKiB));
        QVERIFY2(grownKiB < 100 * 1024, qPrintable(QString::number(grownKiB)));

        RpcClient other;
        QVERIFY(server->connectClient(other));
        Json::Value response;
        QVERIFY(other.call("Live.GetVersion", Json::Value(), 1, response, 2000));
        QCOMPARE(response["result"].asString(), std::string("1.0.38"));
        greedy.abort();
    }

    // The port is taken (by a loopback listener here): start-up ends with status 1 and says why on
    // the launcher's standard error, leaving no port file behind.
    void listenFailureEndsStartUp()
    {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost, 0));
        TestEnvironment other;
        other.setSetting("ListenPort", blocker.serverPort());
        QVERIFY(other.createUserPath());
        ServerRunner failing(other);
        const LaunchResult launched = failing.launch();
        QVERIFY(launched.finished);
        QCOMPARE(launched.exitCode, 1);
        const QString expected = QStringLiteral(": Critical: Failed to listen for SSL connections on port \"%1\": ")
                                     .arg(blocker.serverPort());
        QVERIFY2(QString::fromLocal8Bit(launched.standardError).contains(expected), launched.standardError.constData());
        QVERIFY(launched.standardError.endsWith("\n"));
        QVERIFY(!QFileInfo::exists(other.userFile("server_port")));
        QVERIFY(!QFileInfo::exists(other.userFile("server_pid")));
    }
};

QTEST_GUILESS_MAIN(RpcServerTest)
#include "tst_rpc_server.moc"

// A client for tests that must reach a server inside a network namespace: run it there with
// "ip netns exec". Its uses:
//   discovery_call call <port> <certificate> <key> <method> [<params as JSON>]
//       calls the method of the server at 127.0.0.1:<port> and prints the response as JSON;
//   discovery_call announce <address> <port> <datagram>
//       sends one UDP datagram;
//   discovery_call peer <address> <port> <user> <certificate> <key> <sessions> <seconds>
//       plays a peer server with that many sessions: announces itself with one UPDATE to the
//       address and port, answers the queries that follow, and ends a second after the first
//       answer (or after the seconds); fails when nobody asked;
//   discovery_call flood <address> <port> <user> <count> <silent ports> <seconds>
//       sends a burst of HELLO and UPDATE datagrams naming closed ports and ports that accept TCP
//       but never answer, keeps those ports for the seconds, and prints how many connections they got;
//   discovery_call await <port> <certificate> <key> <ids, comma-separated> <seconds>
//       calls "Live.ListSessions" every 50 ms on one connection until the server lists exactly
//       these sessions, and prints when it first did, in ms since the epoch;
//   discovery_call probe <port> <certificate> <key> <seconds>
//       calls "Live.GetVersion" every 100 ms on one connection and once a second on a fresh one,
//       and prints the number of calls, the unanswered ones and the slowest answer in ms.
// Exit status 0 on success, 1 with a reason on standard error otherwise.

#include "tests/support/scripted_peer.h"
#include "tests/support/rpc_client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include <cstdio>
#include <memory>

namespace {

int failWith(const QString &reason)
{
    std::fprintf(stderr, "discovery_call: %s\n", qPrintable(reason));
    return 1;
}

int call(const QStringList &arguments)
{
    if (arguments.size() < 4) {
        return failWith("call needs <port> <certificate> <key> <method> [<params>]");
    }
    Json::Value params;
    if (arguments.size() > 4) {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const QByteArray text = arguments.at(4).toUtf8();
        std::string errors;
        if (!reader->parse(text.constData(), text.constData() + text.size(), &params, &errors)) {
            return failWith("the parameters are not JSON: " + QString::fromStdString(errors));
        }
    }
    RpcClient client;
    QString error;
    if (!client.setIdentity(arguments.at(1), arguments.at(2), error)) {
        return failWith(error);
    }
    if (!client.connectToServer(quint16(arguments.at(0).toUInt()))) {
        return failWith("cannot connect to port " + arguments.at(0));
    }
    Json::Value response;
    if (!client.call(arguments.at(3), params, "discovery_call", response, 30000)) {
        return failWith("no response to " + arguments.at(3));
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::printf("%s\n", Json::writeString(writer, response).c_str());
    return 0;
}

int announce(const QStringList &arguments)
{
    if (arguments.size() != 3) {
        return failWith("announce needs <address> <port> <datagram>");
    }
    QUdpSocket socket;
    const QByteArray datagram = arguments.at(2).toUtf8();
    if (socket.writeDatagram(datagram, QHostAddress(arguments.at(0)), quint16(arguments.at(1).toUInt()))
        != datagram.size()) {
        return failWith("cannot send: " + socket.errorString());
    }
    return 0;
}

QByteArray announcement(const char *method, quint16 port, const QString &user)
{
    return QString("{\"Method\":\"%1\",\"Port\":%2,\"User\":\"%3\"}\n").arg(method).arg(port).arg(user).toUtf8();
}

bool readIdentity(const QString &certificatePath, const QString &keyPath, QSslCertificate &certificate, QSslKey &key)
{
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    certificate = QSslCertificate(certificateFile.readAll(), QSsl::Pem);
    key = QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    return !certificate.isNull() && !key.isNull();
}

// The answer of a server with `count` sessions to the peer query, framed.
QByteArray sessionsAnswer(int count)
{
    Json::Value sessions(Json::arrayValue);
    for (int i = 0; i < count; ++i) {
        Json::Value session(Json::objectValue);
        session["id"] = QString("%1").arg(i, 32, 16, QLatin1Char('0')).toStdString();
        session["location"] = "ssh://peer-host:22/lumen_sci";
        session["windowMode"] = "desktop";
        session["name"] = QString("xterm -title session-%1 -geometry 120x40").arg(i).toStdString();
        session["started"] = "2025-03-07T09:05:03";
        session["lastConnect"] = "2025-03-07T09:15:03";
        session["lastDisconnect"] = "";
        session["permissions"] = "connect|terminate";
        sessions.append(session);
    }
    Json::Value answer(Json::objectValue);
    answer["id"] = "ServerUpdate";
    answer["jsonrpc"] = "2.0";
    answer["result"] = sessions;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    const QByteArray payload = QByteArray::fromStdString(Json::writeString(writer, answer) + "\n");
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

int peer(const QStringList &arguments)
{
    if (arguments.size() != 7) {
        return failWith("peer needs <address> <port> <user> <certificate> <key> <sessions> <seconds>");
    }
    QSslCertificate certificate;
    QSslKey key;
    if (!readIdentity(arguments.at(3), arguments.at(4), certificate, key)) {
        return failWith("cannot read the certificate or the key");
    }
    ScriptedPeer server(certificate, key);
    if (!server.start(QHostAddress::AnyIPv4)) {
        return failWith("cannot listen: " + server.errorString());
    }
    server.setReplies({sessionsAnswer(arguments.at(5).toInt())});
    QUdpSocket socket;
    socket.writeDatagram(announcement("UPDATE", server.serverPort(), arguments.at(2)), QHostAddress(arguments.at(0)),
                         quint16(arguments.at(1).toUInt()));
    if (!QTest::qWaitFor([&] { return server.request().endsWith(','); }, arguments.at(6).toInt() * 1000)) {
        return failWith("nobody asked for the sessions");
    }
    QTest::qWait(1000); // the answer is written and read meanwhile
    return 0;
}

int flood(const QStringList &arguments)
{
    if (arguments.size() != 6) {
        return failWith("flood needs <address> <port> <user> <count> <silent ports> <seconds>");
    }
    const QHostAddress target(arguments.at(0));
    const quint16 targetPort = quint16(arguments.at(1).toUInt());
    // Ports that accept TCP and then say nothing: a TLS handshake there waits in vain.
    std::vector<std::unique_ptr<QTcpServer>> silent;
    int silentConnections = 0;
    for (int i = 0; i < arguments.at(4).toInt(); ++i) {
        auto listener = std::make_unique<QTcpServer>();
        listener->setMaxPendingConnections(10000);
        if (!listener->listen(QHostAddress::AnyIPv4, 0)) {
            return failWith("cannot listen: " + listener->errorString());
        }
        QObject::connect(listener.get(), &QTcpServer::newConnection, [&silentConnections] { ++silentConnections; });
        silent.push_back(std::move(listener));
    }
    // Nothing else listens in this namespace, so these ports are closed.
    constexpr quint16 firstClosedPort = 20000;
    constexpr int closedPorts = 500;
    QUdpSocket socket;
    const int count = arguments.at(3).toInt();
    for (int i = 0; i < count; ++i) {
        const quint16 port = !silent.empty() && i % 10 == 0 ? silent.at((i / 10) % silent.size())->serverPort()
                                                            : quint16(firstClosedPort + i % closedPorts);
        socket.writeDatagram(announcement(i % 2 ? "UPDATE" : "HELLO", port, arguments.at(2)), target, targetPort);
        if (i % 100 == 99) {
            QThread::msleep(10); // a burst, but one the receiver's buffer can mostly take
        }
    }
    QTest::qWait(arguments.at(5).toInt() * 1000);
    std::printf("{\"silentConnections\":%d}\n", silentConnections);
    return 0;
}

int await(const QStringList &arguments)
{
    if (arguments.size() != 5) {
        return failWith("await needs <port> <certificate> <key> <ids> <seconds>");
    }
    RpcClient client;
    QString error;
    if (!client.setIdentity(arguments.at(1), arguments.at(2), error) || !client.connectToServer(quint16(arguments.at(0).toUInt()))) {
        return failWith("cannot connect to port " + arguments.at(0) + " " + error);
    }
    QStringList expected = arguments.at(3).split(',', Qt::SkipEmptyParts);
    expected.sort();
    QStringList listed;
    QElapsedTimer total;
    total.start();
    for (int id = 1; total.elapsed() < arguments.at(4).toInt() * 1000; ++id) {
        Json::Value response;
        if (!client.call("Live.ListSessions", Json::Value(), id, response, 10000)) {
            return failWith("no answer to Live.ListSessions");
        }
        listed = RpcClient::idsOf(response["result"]);
        listed.sort();
        if (listed == expected) {
            std::printf("{\"at\":%lld}\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
            return 0;
        }
        QTest::qWait(50);
    }
    return failWith("the server still lists " + listed.join(','));
}

int probe(const QStringList &arguments)
{
    if (arguments.size() != 4) {
        return failWith("probe needs <port> <certificate> <key> <seconds>");
    }
    const quint16 port = quint16(arguments.at(0).toUInt());
    RpcClient client;
    QString error;
    if (!client.setIdentity(arguments.at(1), arguments.at(2), error) || !client.connectToServer(port)) {
        return failWith("cannot connect to port " + arguments.at(0) + " " + error);
    }
    int calls = 0;
    int unanswered = 0;
    qint64 slowest = 0;
    const auto timed = [&](RpcClient &on) {
        QElapsedTimer clock;
        clock.start();
        Json::Value response;
        ++calls;
        if (!on.call("Live.GetVersion", Json::Value(), calls, response, 10000)) {
            ++unanswered;
        }
        slowest = std::max(slowest, clock.elapsed());
    };
    QElapsedTimer total;
    total.start();
    qint64 nextFresh = 0;
    while (total.elapsed() < arguments.at(3).toInt() * 1000) {
        timed(client);
        if (total.elapsed() >= nextFresh) {
            nextFresh += 1000;
            QElapsedTimer clock;
            clock.start();
            RpcClient fresh;
            fresh.setIdentity(arguments.at(1), arguments.at(2), error);
            if (fresh.connectToServer(port, 10000)) {
                timed(fresh);
                slowest = std::max(slowest, clock.elapsed());
            } else {
                ++calls;
                ++unanswered;
            }
        }
        QTest::qWait(100);
    }
    std::printf("{\"calls\":%d,\"slowestMs\":%lld,\"unanswered\":%d}\n", calls, static_cast<long long>(slowest),
                unanswered);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (command == "call") {
        return call(arguments);
    }
    if (command == "announce") {
        return announce(arguments);
    }
    if (command == "peer") {
        return peer(arguments);
    }
    if (command == "flood") {
        return flood(arguments);
    }
    if (command == "await") {
        return await(arguments);
    }
    if (command == "probe") {
        return probe(arguments);
    }
    return failWith("unknown command; use call, announce, peer, flood, await or probe");
}

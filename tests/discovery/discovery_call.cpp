// A client for tests that must reach a server inside a network namespace: run it there with
// "ip netns exec". Two uses:
//   discovery_call call <port> <certificate> <key> <method> [<params as JSON>]
//       calls the method of the server at 127.0.0.1:<port> and prints the response as JSON;
//   discovery_call announce <address> <port> <datagram>
//       sends one UDP datagram.
// Exit status 0 on success, 1 with a reason on standard error otherwise.

#include "tests/support/rpc_client.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QUdpSocket>

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
    return failWith("unknown command; use call or announce");
}

#include "client/host/rpc_connection.h"

#include "client/command_line/console.h"
#include "client/host/relay_channel.h"
#include "common/json_text.h"

#include <QEventLoop>
#include <QTimer>

namespace {

// How long a host may keep silent before the client says what it waits for.
constexpr int connectingNoticeMs = 1000;

// The last lines of what ssh or the relay wrote to standard error: enough to tell the cause.
QString lastLines(const QString &text, int count)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > count) {
        lines = lines.mid(lines.size() - count);
    }
    return lines.join(QLatin1Char('\n'));
}

QString withDetail(const QString &message, const QString &detail)
{
    return detail.isEmpty() ? message : message + QLatin1Char('\n') + detail;
}

} // namespace

RpcConnection::RpcConnection(const HostTarget &target, const HostCommands &commands, QObject *parent)
    : QObject(parent)
    , host(target)
    , commands(commands)
    , channel(new RelayChannel(this))
{
    connect(channel, &RelayChannel::frameReceived, this, &RpcConnection::Channel_frameReceived);
    connect(channel, &RelayChannel::ended, this, &RpcConnection::ended);
}

void RpcConnection::open()
{
    channel->start(commands.relay());
}

void RpcConnection::close()
{
    channel->close();
}

bool RpcConnection::isOpen() const
{
    return channel->isOpen();
}

void RpcConnection::interrupt()
{
    interrupted = true;
    if (waiting) {
        waiting->quit();
    }
}

void RpcConnection::abort()
{
    channel->abort();
}

bool RpcConnection::call(const QString &method, const Json::Value &params, Json::Value &result, RpcError &error,
                         int timeoutMs)
{
    error = RpcError();
    interrupted = false;
    if (!channel->isOpen()) {
        error = {channel->failedToStart() ? RpcError::LocalProgram : RpcError::Connection, 0, endReason()};
        return false;
    }
    awaitedId = nextId++;
    answered = false;
    answer = Json::Value();
    channel->sendFrame(encodeRequest(awaitedId, method, params));

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // An unreachable host keeps silent until ssh gives up: the user learns what is going on.
    QTimer connecting;
    connecting.setSingleShot(true);
    connect(&connecting, &QTimer::timeout, this, [this] {
        if (!channel->hasAnswered() && channel->isOpen() && !connectingShown) {
            connectingShown = true;
            Console::progress(host.isLocal() ? QStringLiteral("Waiting for the server on this machine...")
                                             : QStringLiteral("Connecting to %1...").arg(host.name()));
        }
    });
    if (!channel->hasAnswered()) {
        connecting.start(connectingNoticeMs);
    }
    connect(channel, &RelayChannel::ended, &loop, &QEventLoop::quit);
    QMetaObject::Connection answeredConnection =
        connect(channel, &RelayChannel::frameReceived, &loop, [&] {
            if (answered) {
                loop.quit();
            }
        });
    timer.start(timeoutMs);
    if (!answered && channel->isOpen() && !interrupted) {
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }
    disconnect(answeredConnection);
    awaitedId = 0;

    if (!answered && interrupted) {
        error = {RpcError::Interrupted, 0, QString()};
        return false;
    }
    if (!answered && channel->failedToStart()) {
        error = {RpcError::LocalProgram, 0, endReason()};
        return false;
    }
    if (!answered) {
        error = {RpcError::Connection, 0,
                 channel->isOpen() ? QStringLiteral("%1 did not answer within %2 seconds.")
                                         .arg(host.name())
                                         .arg(timeoutMs / 1000)
                                   : endReason()};
        return false;
    }
    if (answer.isMember("error")) {
        const Json::Value &failure = answer["error"];
        error.kind = RpcError::Server;
        if (failure.isObject() && failure["code"].isInt()) {
            error.code = failure["code"].asInt();
        }
        if (failure.isObject() && failure["message"].isString()) {
            error.message = QString::fromStdString(failure["message"].asString());
        }
        return false;
    }
    result = answer["result"];
    return true;
}

QByteArray RpcConnection::encodeRequest(int id, const QString &method, const Json::Value &params)
{
    Json::Value request(Json::objectValue);
    request["id"] = id;
    request["jsonrpc"] = "2.0";
    request["method"] = method.toStdString();
    if (!params.isNull()) {
        request["params"] = params;
    }
    return compactJson(request);
}

QString RpcConnection::endReason() const
{
    if (channel->isOpen()) {
        return QString();
    }
    const QString detail = lastLines(channel->errorOutput(), 6);
    if (!channel->framingError().isEmpty()) {
        return QStringLiteral("%1 sent something that is not a message of Lumen Server (%2). Is lumen_sci there "
                              "the relay of Lumen Server, and does no shell start-up file there print text for "
                              "commands run over ssh?")
            .arg(host.name(), channel->framingError());
    }
    if (channel->failedToStart()) {
        const ProgramCall relay = commands.relay();
        if (host.isLocal()) {
            return QStringLiteral("The relay \"%1\" is neither on this machine's PATH nor next to lumen: install "
                                  "the package lumen-server.")
                .arg(relay.program);
        }
        return QStringLiteral("\"%1\" could not be run: install the package openssh-client, or name your ssh "
                              "command with --ssh.")
            .arg(relay.program);
    }
    if (host.isLocal()) {
        return withDetail(QStringLiteral("The relay lumen_sci ended without an answer:"), detail);
    }
    if (channel->crashed()) {
        return withDetail(QStringLiteral("ssh to %1 ended abnormally.").arg(host.name()), detail);
    }
    switch (channel->exitCode()) {
    case 255:
        return withDetail(QStringLiteral("Could not reach %1 through ssh. Check the host name, that you can log in "
                                         "with \"ssh %2\", and the options given with --ssh. ssh said:")
                              .arg(host.name(), host.sshDestination()),
                          detail);
    case 126:
    case 127:
        return withDetail(QStringLiteral("The relay \"%1\" is missing on %2: install the package lumen-server there "
                                         "(its programs go to /usr/bin, which ssh logins find).")
                              .arg(host.relayProgram(), host.name()),
                          detail);
    default:
        return withDetail(QStringLiteral("The relay on %1 ended without an answer (status %2):")
                              .arg(host.name())
                              .arg(channel->exitCode()),
                          detail);
    }
}

void RpcConnection::Channel_frameReceived(const QByteArray &payload)
{
    Json::Value message;
    if (!parseJson(payload, message) || !message.isObject()) {
        return;
    }
    if (message.isMember("id")) {
        if (awaitedId != 0 && message["id"].isInt() && message["id"].asInt() == awaitedId
            && (message.isMember("result") || message.isMember("error"))) {
            answer = message;
            answered = true;
        }
        return;
    }
    if (message["method"].isString()) {
        emit notificationReceived(QString::fromStdString(message["method"].asString()), message["params"]);
    }
}

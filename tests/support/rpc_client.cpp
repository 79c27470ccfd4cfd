#include "tests/support/rpc_client.h"

#include "tests/support/frame_codec.h"

#include <QFile>
#include <QSslSocket>
#include <QTest>
#include <QUuid>

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

namespace {

bool parseJson(const QByteArray &text, Json::Value &value)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        return reader->parse(text.constData(), text.constData() + text.size(), &value, &errors);
    } catch (const std::exception &) {
        return false;
    }
}

bool readPem(const QString &path, QByteArray &pem, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    pem = file.readAll();
    return true;
}

} // namespace

RpcClient::RpcClient(QObject *parent)
    : QObject(parent)
    , socket(new QSslSocket(this))
{
    // The server's certificate is self-signed; tests that care compare it via serverCertificate().
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(socket, &QSslSocket::readyRead, this, &RpcClient::Socket_readyRead);
    connect(socket, &QSslSocket::encrypted, this, [this] { encrypted = true; });
    // Kept, since the socket forgets its port once disconnected.
    connect(socket, &QSslSocket::connected, this, [this] { boundPort = socket->localPort(); });
}

RpcClient::~RpcClient()
{
    socket->abort();
}

bool RpcClient::setIdentity(const QString &certificatePath, const QString &keyPath, QString &error)
{
    QByteArray certificatePem;
    QByteArray keyPem;
    if (!readPem(certificatePath, certificatePem, error) || !readPem(keyPath, keyPem, error)) {
        return false;
    }
    const QSslCertificate loadedCertificate(certificatePem, QSsl::Pem);
    const QSslKey loadedKey(keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    if (loadedCertificate.isNull() || loadedKey.isNull()) {
        error = QStringLiteral("invalid certificate %1 or key %2").arg(certificatePath, keyPath);
        return false;
    }
    setIdentity(loadedCertificate, loadedKey);
    return true;
}

void RpcClient::setIdentity(const QSslCertificate &certificate, const QSslKey &key)
{
    this->certificate = certificate;
    this->key = key;
}

bool RpcClient::connectToServer(quint16 port, int timeoutMs)
{
    if (!certificate.isNull()) {
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
    }
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return waitForConnection(timeoutMs) && QTest::qWaitFor([this] {
        return encrypted || socket->state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs) && encrypted;
}

bool RpcClient::connectPlain(quint16 port, int timeoutMs)
{
    socket->connectToHost(QStringLiteral("127.0.0.1"), port);
    return waitForConnection(timeoutMs);
}

bool RpcClient::waitForConnection(int timeoutMs)
{
    const bool settled = QTest::qWaitFor([this] {
        const auto state = socket->state();
        return state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
    return settled && socket->state() == QAbstractSocket::ConnectedState;
}

void RpcClient::abort()
{
    socket->abort();
}

void RpcClient::stopReading()
{
    disconnect(socket, &QSslSocket::readyRead, this, &RpcClient::Socket_readyRead);
    socket->setReadBufferSize(16384); // 0 would mean no bound at all
}

qint64 RpcClient::unsentBytes() const
{
    return socket->bytesToWrite() + socket->encryptedBytesToWrite();
}

void RpcClient::sendRaw(const QByteArray &bytes)
{
    socket->write(bytes);
    socket->flush();
}

void RpcClient::sendFrame(const QByteArray &payload)
{
    sendRaw(FrameCodec::encode(payload));
}

void RpcClient::sendMessage(const Json::Value &message)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    const std::string text = Json::writeString(builder, message) + '\n';
    sendFrame(QByteArray(text.data(), int(text.size())));
}

Json::Value RpcClient::makeRequest(const QString &method, const Json::Value &params, const Json::Value &id)
{
    Json::Value request(Json::objectValue);
    request["jsonrpc"] = "2.0";
    request["id"] = id;
    request["method"] = method.toStdString();
    if (!params.isNull()) {
        request["params"] = params;
    }
    return request;
}

void RpcClient::sendRequest(const QString &method, const Json::Value &params, const Json::Value &id)
{
    sendMessage(makeRequest(method, params, id));
}

bool RpcClient::call(const QString &method, const Json::Value &params, const Json::Value &id, Json::Value &response,
                     int timeoutMs)
{
    sendRequest(method, params, id);
    return waitForResponse(id, response, timeoutMs);
}

Json::Value RpcClient::call(const QString &method, const Json::Value &params, int timeoutMs)
{
    // Ids of a space of their own, so that they never meet the numbers a test chooses itself.
    const Json::Value id = QStringLiteral("call-%1").arg(++lastCallId).toStdString();
    Json::Value response;
    if (!call(method, params, id, response, timeoutMs)) {
        return Json::Value("no response");
    }
    return response;
}

Json::Value RpcClient::startSession(const QString &id, const QString &command, const QString &geometry, int timeoutMs)
{
    return call(QStringLiteral("Live.Start"), startParams(id, command, geometry), timeoutMs);
}

QString RpcClient::newSessionId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

Json::Value RpcClient::strings(const QStringList &values)
{
    Json::Value array(Json::arrayValue);
    for (const QString &value : values) {
        array.append(value.toStdString());
    }
    return array;
}

Json::Value RpcClient::idParams(const QString &id)
{
    return strings({id});
}

Json::Value RpcClient::startParams(const QString &id, const QString &command, const QString &geometry)
{
    return strings({id, command, geometry});
}

Json::Value RpcClient::parse(const QByteArray &text)
{
    Json::Value value;
    return parseJson(text, value) ? value : Json::Value();
}

QStringList RpcClient::idsOf(const Json::Value &list)
{
    QStringList ids;
    for (const Json::Value &session : list) {
        ids << QString::fromStdString(session["id"].asString());
    }
    return ids;
}

int RpcClient::errorCode(const Json::Value &response)
{
    if (!response.isObject() || !response.isMember("error")) {
        return 0;
    }
    return response["error"]["code"].asInt();
}

bool RpcClient::waitForResponse(const Json::Value &id, Json::Value &response, int timeoutMs)
{
    auto find = [this, &id] {
        for (int i = 0; i < responses.size(); ++i) {
            if (responses.at(i).isObject() && responses.at(i)["id"] == id) {
                return i;
            }
        }
        return -1;
    };
    if (!QTest::qWaitFor([&] { return find() >= 0; }, timeoutMs)) {
        return false;
    }
    response = responses.takeAt(find());
    return true;
}

bool RpcClient::waitForNextResponse(Json::Value &response, int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return !responses.isEmpty(); }, timeoutMs)) {
        return false;
    }
    response = responses.takeFirst();
    return true;
}

bool RpcClient::waitForNotification(const QString &method, Json::Value &notification, int timeoutMs)
{
    const std::string name = method.toStdString();
    auto find = [this, &name] {
        for (int i = 0; i < notifications.size(); ++i) {
            if (notifications.at(i)["method"].asString() == name) {
                return i;
            }
        }
        return -1;
    };
    if (!QTest::qWaitFor([&] { return find() >= 0; }, timeoutMs)) {
        return false;
    }
    notification = notifications.takeAt(find());
    return true;
}

bool RpcClient::waitForFrames(int count, int timeoutMs)
{
    return QTest::qWaitFor([this, count] { return framePayloads.size() >= count; }, timeoutMs);
}

bool RpcClient::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return socket->state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

void RpcClient::idle(int ms)
{
    QTest::qWait(ms);
}

bool RpcClient::isConnected() const
{
    return socket->state() == QAbstractSocket::ConnectedState;
}

bool RpcClient::wasEncrypted() const
{
    return encrypted;
}

quint16 RpcClient::localPort() const
{
    return boundPort;
}

QSslCertificate RpcClient::serverCertificate() const
{
    return socket->peerCertificate();
}

QByteArray RpcClient::receivedBytes() const
{
    return received;
}

QList<QByteArray> RpcClient::payloads() const
{
    return framePayloads;
}

QString RpcClient::framingError() const
{
    return framingProblem;
}

int RpcClient::pendingResponses() const
{
    return responses.size();
}

int RpcClient::pendingNotifications() const
{
    return notifications.size();
}

void RpcClient::Socket_readyRead()
{
    const QByteArray data = socket->readAll();
    received += data;
    if (!framingProblem.isEmpty()) {
        return;
    }
    unframed += data;
    QByteArray payload;
    for (;;) {
        const FrameCodec::Frame outcome = FrameCodec::take(unframed, payload);
        if (outcome == FrameCodec::Frame::Incomplete) {
            return;
        }
        if (outcome == FrameCodec::Frame::Invalid) {
            framingProblem = QStringLiteral("invalid frame at: ") + QString::fromLatin1(unframed.left(40).toHex());
            return;
        }
        framePayloads.append(payload);
        fileMessage(payload);
    }
}

void RpcClient::fileMessage(const QByteArray &payload)
{
    Json::Value message;
    if (!parseJson(payload, message)) {
        return;
    }
    if (message.isArray() || (message.isObject() && message.isMember("id"))) {
        responses.append(message);
    } else if (message.isObject() && message.isMember("method")) {
        notifications.append(message);
    }
}

#include "server/discovery/peer_query.h"

#include "common/files.h"
#include "common/logging.h"
#include "server/manager/peer_table.h"
#include "common/json_text.h"
#include "common/netstring.h"
#include "server/discovery/throttled_log.h"

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslError>
#include <QSslKey>
#include <QSslSocket>

#include <json/value.h>

#include <algorithm>

namespace {

const char *const requestId = "ServerUpdate";

// What one received message means for the query.
enum class Reply { NotOurs, Sessions, Failed, Unreadable };

int remainingMs(const QElapsedTimer &clock, int budgetMs)
{
    return int(std::max<qint64>(0, budgetMs - clock.elapsed()));
}

QByteArray request()
{
    Json::Value value(Json::objectValue);
    value["id"] = requestId;
    value["jsonrpc"] = "2.0";
    value["method"] = "Live.ListLocalSessions";
    value["params"] = Json::Value();
    return encodeNetString(compactJson(value));
}

// The same conversion a session record applies to its members.
bool messageText(const Json::Value &value, QString &text)
{
    switch (value.type()) {
    case Json::stringValue:
        text = QString::fromUtf8(value.asString().c_str());
        return true;
    case Json::nullValue:
        text.clear();
        return true;
    case Json::booleanValue:
        text = value.asBool() ? QStringLiteral("true") : QStringLiteral("false");
        return true;
    default:
        return false;
    }
}

bool isInteger(const Json::Value &value)
{
    return value.type() == Json::intValue || value.type() == Json::uintValue;
}

Reply readResult(const Json::Value &result, SessionRecordList &sessions)
{
    SessionRecordList list;
    if (result.isArray()) {
        for (const Json::Value &element : result) {
            if (!element.isObject()) {
                continue;
            }
            SessionRecord record;
            if (!SessionRecord::fromJson(element, record)) {
                return Reply::Unreadable;
            }
            if (!record.id().isEmpty()) {
                list << record;
            }
        }
    }
    sessions = list;
    return Reply::Sessions;
}

// Everything but our answer, such as the "UpdateSessions" notifications that a server pushes to
// every connection, is passed over.
Reply readMessage(const QByteArray &payload, SessionRecordList &sessions, QString &error)
{
    Json::Value message;
    if (!parseJson(payload, message)) {
        error = QStringLiteral("Received invalid JSON");
        return Reply::Failed;
    }
    if (!message.isObject() || !message.isMember("jsonrpc") || !message.isMember("id")) {
        return Reply::NotOurs;
    }
    const Json::Value &version = message["jsonrpc"];
    const Json::Value &id = message["id"];
    if (!version.isString() || version.asString() != "2.0" || !id.isString() || id.asString() != requestId) {
        return Reply::NotOurs;
    }
    if (message.isMember("result")) {
        return readResult(message["result"], sessions);
    }
    if (message.isMember("error")) {
        const Json::Value &errorObject = message["error"];
        if (errorObject.isObject() && errorObject.isMember("code") && isInteger(errorObject["code"])
            && errorObject.isMember("message")) {
            return messageText(errorObject["message"], error) ? Reply::Failed : Reply::Unreadable;
        }
    }
    return Reply::NotOurs;
}

} // namespace

QString peerKey(const QHostAddress &address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

PeerAnswer fetchPeerSessions(const QHostAddress &address, quint16 port, const QSslKey &privateKey,
                             const QSslCertificate &certificate, SessionRecordList &sessions, QString &error,
                             int budgetMs, std::atomic<bool> *requestWritten)
{
    QElapsedTimer clock;
    clock.start();
    const QString peerName = address.toString();
    const QString peerPort = QString::number(port);

    QSslSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(remainingMs(clock, budgetMs))) {
        error = QStringLiteral("Failed to connect to \"%1\" port \"%2\": %3").arg(peerName, peerPort, socket.errorString());
        return PeerAnswer::Failed;
    }

    socket.setPrivateKey(privateKey);
    socket.setLocalCertificate(certificate);
    // The certificates are self-signed, so the chain checks always fail; the peer is judged by
    // comparing its certificate with ours instead. Direct: this thread has no event loop.
    QObject::connect(&socket, &QSslSocket::sslErrors, &socket, [&socket] { socket.ignoreSslErrors(); },
                     Qt::DirectConnection);
    socket.startClientEncryption();
    if (!socket.waitForEncrypted(remainingMs(clock, budgetMs))) {
        error = QStringLiteral("Failed to connect to \"%1\" port \"%2\": %3").arg(peerName, peerPort, socket.errorString());
        return PeerAnswer::Failed;
    }
    if (socket.peerCertificate() != certificate) {
        error = QStringLiteral("The certificate at \"%1\" port \"%2\" does not match").arg(peerName, peerPort);
        return PeerAnswer::Failed;
    }

    if (requestWritten) {
        requestWritten->store(true);
    }
    socket.write(request());
    if (!socket.waitForBytesWritten(remainingMs(clock, budgetMs))) {
        error = QStringLiteral("Failed to write to \"%1\" port \"%2\": %3").arg(peerName, peerPort, socket.errorString());
        return PeerAnswer::Failed;
    }

    QByteArray buffer;
    for (;;) {
        QByteArray payload;
        QString framingError;
        const int framing = decodeNetString(buffer, payload, framingError, netStringAnswerLimit);
        if (framing < 0) {
            error = framingError;
            return PeerAnswer::Failed;
        }
        if (framing > 0) {
            // Data that came with the handshake is already waiting and raises no new signal.
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remainingMs(clock, budgetMs))
                && socket.bytesAvailable() == 0) {
                error = QStringLiteral("Failed to read from \"%1\" port \"%2\": %3")
                            .arg(peerName, peerPort, socket.errorString());
                return PeerAnswer::Failed;
            }
            buffer += socket.readAll();
            continue;
        }
        switch (readMessage(payload, sessions, error)) {
        case Reply::NotOurs:
            continue;
        case Reply::Sessions:
            return PeerAnswer::Sessions;
        case Reply::Failed:
            return PeerAnswer::Failed;
        case Reply::Unreadable:
            return PeerAnswer::Unreadable;
        }
    }
}

PeerAnswer queryPeer(const QHostAddress &address, quint16 port, const QString &keyPath, const QString &certificatePath,
                     PeerTable *peers, const PeerQueryTiming &timing, ThrottledLog *failures,
                     std::atomic<bool> *requestWritten)
{
    QString error;
    QSslKey privateKey;
    if (!readPrivateKey(keyPath, privateKey, error)) {
        logMessage(Logging::Warning, error);
        return PeerAnswer::NotAsked;
    }
    QSslCertificate certificate;
    if (!readCertificate(certificatePath, certificate, error)) {
        logMessage(Logging::Warning, error);
        return PeerAnswer::NotAsked;
    }

    SessionRecordList sessions;
    const QString key = peerKey(address, port);
    const PeerAnswer answer =
        fetchPeerSessions(address, port, privateKey, certificate, sessions, error, timing.budgetMs, requestWritten);
    switch (answer) {
    case PeerAnswer::Sessions:
        peers->set(key, timing.now().addSecs(peerEntryLifetimeSeconds), sessions);
        break;
    case PeerAnswer::Failed:
        if (failures) {
            failures->warn(key, error);
        } else {
            logMessage(Logging::Warning, error);
        }
        peers->remove(key);
        break;
    case PeerAnswer::Unreadable:
        // A peer that speaks the protocol but sent an unusable list keeps its last good entry
        // until that expires.
    case PeerAnswer::NotAsked:
        break;
    }
    return answer;
}

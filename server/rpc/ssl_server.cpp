#include "server/rpc/ssl_server.h"

#include "common/logging.h"

#include <QSslSocket>

#include <linux/tcp.h> // tcp_info with tcpi_bytes_received, which glibc's header lacks
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// One line about failing accepts is enough for a while: under a flood it would repeat every pause.
constexpr qint64 acceptWarningIntervalMs = 60000;

// Whether the peer has not sent a single byte yet. A real client starts its handshake at once; a
// connection that stays silent is the first to go when room is needed. Unknown counts as silent.
bool hasSentNothing(const QSslSocket &socket)
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
        return true;
    }
    return info.tcpi_bytes_received == 0;
}
}

SslServer::SslServer(QObject *parent)
    : QTcpServer(parent)
{
    setListenBacklogSize(listenBacklog);
    resumeTimer.setSingleShot(true);
    resumeTimer.setInterval(acceptPauseMs);
    connect(&resumeTimer, &QTimer::timeout, this, &QTcpServer::resumeAccepting);
    connect(this, &QTcpServer::acceptError, this, &SslServer::Server_acceptError);
}

void SslServer::setPrivateKey(const QSslKey &key)
{
    privateKey = key;
}

void SslServer::setLocalCertificate(const QSslCertificate &certificate)
{
    localCertificate = certificate;
}

void SslServer::setHandshakeTimeout(int ms)
{
    handshakeTimeoutMs = ms;
}

void SslServer::setUnverifiedLimit(int count)
{
    unverifiedLimit = count;
}

int SslServer::unverifiedCount() const
{
    int count = 0;
    for (const QPointer<QSslSocket> &socket : unverified) {
        count += socket ? 1 : 0;
    }
    return count;
}

void SslServer::incomingConnection(qintptr socketDescriptor)
{
    unverified.removeAll(nullptr);
    while (!unverified.isEmpty() && unverified.size() >= unverifiedLimit) {
        // The oldest has had the longest to prove itself, and a real client needs only a moment;
        // one that is busy with its handshake goes only when every other one is too.
        qsizetype victim = 0;
        for (qsizetype i = 0; i < unverified.size(); ++i) {
            if (hasSentNothing(*unverified.at(i))) {
                victim = i;
                break;
            }
        }
        const QPointer<QSslSocket> dropped = unverified.takeAt(victim);
        dropped->abort();
    }

    auto *socket = new QSslSocket(this);
    // Connected before anyone else can connect to the socket, so the certificate check runs before
    // any other reaction to the finished handshake.
    connect(socket, &QSslSocket::encrypted, this, &SslServer::socketEncrypted);
    connect(socket, &QSslSocket::sslErrors, this, &SslServer::socketSslErrors);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        ::close(int(socketDescriptor));
        return;
    }
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { forgetUnverified(socket); });
    unverified.append(socket);
    QTimer::singleShot(handshakeTimeoutMs, socket, [this, socket] {
        if (unverified.contains(socket)) {
            forgetUnverified(socket);
            socket->abort();
        }
    });
    socket->setPrivateKey(privateKey);
    socket->setLocalCertificate(localCertificate);
    socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket->startServerEncryption();
    addPendingConnection(socket);
}

void SslServer::forgetUnverified(QSslSocket *socket)
{
    unverified.removeAll(socket);
}

// The certificates are self-signed, so the chain checks always complain; the client is judged by
// comparing its certificate with ours once the handshake is done.
void SslServer::socketSslErrors(const QList<QSslError> &)
{
    if (auto *socket = qobject_cast<QSslSocket *>(sender())) {
        socket->ignoreSslErrors();
    }
}

void SslServer::socketEncrypted()
{
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket) {
        return;
    }
    forgetUnverified(socket);
    if (!localCertificate.isNull() && socket->peerCertificate() == localCertificate) {
        return;
    }
    // An accepted socket has no peer name, so the address stands for it.
    const QString peer = socket->peerName().isEmpty() ? socket->peerAddress().toString() : socket->peerName();
    logMessage(Logging::Warning, QStringLiteral("A unverified client attempted to connect from \"%1\" port \"%2\"")
                                     .arg(peer)
                                     .arg(socket->peerPort()));
    // abort() rather than close(): whatever was queued for this peer must not be flushed to it.
    socket->abort();
}

void SslServer::Server_acceptError(QAbstractSocket::SocketError)
{
    // The listener has paused itself; trying again at once would only fail again (out of
    // descriptors, typically) and keep the event loop spinning.
    pauseAccepting();
    resumeTimer.start();
    if (!lastAcceptWarning.isValid() || lastAcceptWarning.elapsed() >= acceptWarningIntervalMs) {
        lastAcceptWarning.start();
        logMessage(Logging::Warning, QStringLiteral("Failed to accept a connection: %1").arg(errorString()));
    }
}

#include "server/rpc/ssl_server.h"

#include "common/logging.h"

#include <QSslSocket>

#include <unistd.h>

SslServer::SslServer(QObject *parent)
    : QTcpServer(parent)
{
}

void SslServer::setPrivateKey(const QSslKey &key)
{
    privateKey = key;
}

void SslServer::setLocalCertificate(const QSslCertificate &certificate)
{
    localCertificate = certificate;
}

void SslServer::incomingConnection(qintptr socketDescriptor)
{
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
    socket->setPrivateKey(privateKey);
    socket->setLocalCertificate(localCertificate);
    socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket->startServerEncryption();
    addPendingConnection(socket);
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

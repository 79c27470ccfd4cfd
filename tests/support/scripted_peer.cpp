#include "tests/support/scripted_peer.h"

#include <QPointer>
#include <QSslSocket>
#include <QTimer>

ScriptedPeer::ScriptedPeer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : QTcpServer(parent)
    , certificate(certificate)
    , key(key)
{
}

bool ScriptedPeer::start(const QHostAddress &address)
{
    return listen(address, 0);
}

void ScriptedPeer::setReplies(const QList<QByteArray> &writes)
{
    replies = writes;
}

int ScriptedPeer::connections() const
{
    return accepted;
}

QByteArray ScriptedPeer::request() const
{
    return received;
}

QSslCertificate ScriptedPeer::clientCertificate() const
{
    return presented;
}

void ScriptedPeer::incomingConnection(qintptr socketDescriptor)
{
    ++accepted;
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QSslSocket::sslErrors, socket, [socket] { socket->ignoreSslErrors(); });
    connect(socket, &QSslSocket::encrypted, this, [this, socket] { presented = socket->peerCertificate(); });
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { Socket_readyRead(socket); });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    socket->setPeerVerifyMode(QSslSocket::QueryPeer);
    socket->startServerEncryption();
}

void ScriptedPeer::Socket_readyRead(QSslSocket *socket)
{
    received += socket->readAll();
    if (!received.endsWith(',')) {
        return;
    }
    QPointer<QSslSocket> alive(socket);
    for (int i = 0; i < replies.size(); ++i) {
        const QByteArray bytes = replies.at(i);
        QTimer::singleShot(150 * i, this, [alive, bytes] {
            if (alive) {
                alive->write(bytes);
            }
        });
    }
}

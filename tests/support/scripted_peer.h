#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QSslSocket;

// A stand-in peer server (on 127.0.0.1 unless told otherwise): TLS with the given identity, and once a whole request has
// arrived it writes the scripted replies, the first at once and each further one a moment later
// (so that they arrive in separate reads). Without replies it keeps the connection and stays
// silent.
class ScriptedPeer : public QTcpServer
{
    Q_OBJECT

public:
    ScriptedPeer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);

    bool start(const QHostAddress &address = QHostAddress::LocalHost);
    void setReplies(const QList<QByteArray> &writes);

    int connections() const;
    QByteArray request() const;
    QSslCertificate clientCertificate() const;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void Socket_readyRead(QSslSocket *socket);

    QSslCertificate certificate;
    QSslKey key;
    QList<QByteArray> replies;
    int accepted = 0;
    QByteArray received;
    QSslCertificate presented;
};

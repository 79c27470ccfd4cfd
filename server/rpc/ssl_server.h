#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QSslKey>
#include <QTcpServer>
#include <QTimer>

class QSslSocket;

// The TLS listener. Every accepted connection is encrypted with the server's own certificate and
// key, and only a client that presents that very certificate stays connected: holding the user's
// certificate and key is what admits a client.
//
// Strangers cannot hold the port: a connection whose handshake has not finished within the
// handshake limit is aborted, and when the number of connections still unverified reaches its cap
// the oldest of them that has not sent a byte yet is dropped (the oldest of all when every one has),
// so a real client, which starts its handshake at once, still gets in during a flood. When
// accepting fails for want of descriptors (or any other reason), accepting pauses briefly instead of
// spinning.
//
// Lives on the main thread, like the sockets it creates (its children).
class SslServer : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int defaultHandshakeTimeoutMs = 10000;
    static constexpr int defaultUnverifiedLimit = 64;
    static constexpr int acceptPauseMs = 200;
    // Connections the system may queue for us while we are busy: a burst must not make a real
    // client's connection attempt wait for the retry of a dropped one.
    static constexpr int listenBacklog = 1024;

    explicit SslServer(QObject *parent = nullptr);

    void setPrivateKey(const QSslKey &key);
    void setLocalCertificate(const QSslCertificate &certificate);
    // For the connections accepted from then on.
    void setHandshakeTimeout(int ms);
    void setUnverifiedLimit(int count);

    int unverifiedCount() const;

protected:
    // The connection is handed on before its handshake has finished.
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void socketEncrypted();
    void socketSslErrors(const QList<QSslError> &errors);
    void Server_acceptError(QAbstractSocket::SocketError error);

private:
    void forgetUnverified(QSslSocket *socket);

    QSslKey privateKey;
    QSslCertificate localCertificate;
    int handshakeTimeoutMs = defaultHandshakeTimeoutMs;
    int unverifiedLimit = defaultUnverifiedLimit;
    QList<QPointer<QSslSocket>> unverified; // oldest first
    QTimer resumeTimer;
    QElapsedTimer lastAcceptWarning;
};

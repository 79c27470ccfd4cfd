#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QSslKey>
#include <QTcpServer>

// The TLS listener. Every accepted connection is encrypted with the server's own certificate and
// key, and only a client that presents that very certificate stays connected: holding the user's
// certificate and key is what admits a client.
class SslServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit SslServer(QObject *parent = nullptr);

    void setPrivateKey(const QSslKey &key);
    void setLocalCertificate(const QSslCertificate &certificate);

protected:
    // The connection is handed on before its handshake has finished.
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void socketEncrypted();
    void socketSslErrors(const QList<QSslError> &errors);

private:
    QSslKey privateKey;
    QSslCertificate localCertificate;
};

#include "bench/blocking_client.h"

#include "common/netstring.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

bool BlockingClient::connect(quint16 port, const QString &certificatePath, const QString &keyPath)
{
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    socket.setLocalCertificate(QSslCertificate(certificateFile.readAll(), QSsl::Pem));
    socket.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey));
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket.waitForEncrypted(10000);
}

void BlockingClient::send(const QByteArray &payload)
{
    socket.write(encodeNetString(payload));
    socket.flush();
}

bool BlockingClient::waitFor(const QByteArray &marker, int timeoutMs, QByteArray *payload)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        received += socket.readAll();
        QByteArray message;
        QString error;
        int status;
        while ((status = decodeNetString(received, message, error, netStringAnswerLimit)) == 0) {
            if (message.contains(marker)) {
                if (payload) {
                    *payload = message;
                }
                return true;
            }
        }
        if (status < 0 || deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            return false;
        }
    }
}

bool BlockingClient::connectTo(const TestEnvironment &env, const ServerRunner &server)
{
    return connect(server.port(), env.userFile(QStringLiteral("../server_cert")), env.userFile(QStringLiteral("../server_key")));
}

bool BlockingClient::launchAndConnect(const TestEnvironment &env, ServerRunner &server, QString &error)
{
    if (!env.createUserPath() || server.launch().exitCode != 0 || !server.waitForFile(QStringLiteral("server_port"))) {
        error = QStringLiteral("the server did not start");
        return false;
    }
    if (!connectTo(env, server)) {
        error = QStringLiteral("cannot connect to the server");
        return false;
    }
    return true;
}

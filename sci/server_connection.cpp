#include "sci/server_connection.h"

#include "common/files.h"
#include "common/logging.h"
#include "common/regular_file.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

constexpr qint64 connectionBudgetMs = 10000;
constexpr qint64 pauseMs = 500;
constexpr qint64 attemptMs = 1000;
constexpr int handshakeMs = 10000;

// Sleeps the whole time even when signals interrupt it.
bool sleepMilliseconds(qint64 milliseconds, QString &error)
{
    timespec remaining;
    remaining.tv_sec = time_t(milliseconds / 1000);
    remaining.tv_nsec = long(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&remaining, &remaining) != 0) {
        if (errno != EINTR) {
            error = QStringLiteral("Failed to sleep: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

qint64 remainingBudget(const QElapsedTimer &timer, qint64 cap)
{
    return qBound<qint64>(0, connectionBudgetMs - timer.elapsed(), cap);
}

// Finds the port and opens the TCP connection, retrying until the budget is spent: the server may
// still be writing its port file, or may just be going away.
bool connectOnLoopback(QSslSocket &socket, const QString &portFilePath)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.state() != QAbstractSocket::ConnectedState && timer.elapsed() < connectionBudgetMs) {
        QString error;
        if (!sleepMilliseconds(remainingBudget(timer, pauseMs), error)) {
            logMessage(Logging::Critical, error);
            return false;
        }
        quint16 port = 0;
        if (!readPortFile(portFilePath, port, error)) {
            logMessage(Logging::Debug1, error);
            continue;
        }
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port, QIODevice::ReadWrite);
        if (!socket.waitForConnected(int(remainingBudget(timer, attemptMs)))) {
            logMessage(Logging::Debug1,
                       QStringLiteral("Failed to connect to port \"%1\": %2").arg(port).arg(socket.errorString()));
            // A socket left half-way in a connection attempt cannot start the next one.
            socket.abort();
        }
    }
    if (socket.state() != QAbstractSocket::ConnectedState) {
        logMessage(Logging::Critical, QStringLiteral("Failed to connect to the server"));
        return false;
    }
    // The relay passes on whatever it has at once; holding back a request's last segment until the
    // server acknowledges the previous one would add the peer's delayed acknowledgement to each call.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

} // namespace

bool connectToServer(QSslSocket &socket, const QString &portFilePath, const QString &certificatePath,
                     const QString &privateKeyPath)
{
    if (!connectOnLoopback(socket, portFilePath)) {
        return false;
    }

    QString error;
    QSslKey key;
    if (!readPrivateKey(privateKeyPath, key, error)) {
        logMessage(Logging::Critical, error);
        return false;
    }
    QSslCertificate certificate;
    if (!readCertificate(certificatePath, certificate, error)) {
        logMessage(Logging::Critical, error);
        return false;
    }

    socket.setPrivateKey(key);
    socket.setLocalCertificate(certificate);
    // The certificate is self-signed and names no host, so the chain checks always complain; the
    // server is judged below by comparing certificates instead. Ignoring only works from inside the
    // signal, and the blocking wait needs the call to happen right away.
    QObject::connect(
        &socket, &QSslSocket::sslErrors, &socket, [&socket](const QList<QSslError> &) { socket.ignoreSslErrors(); },
        Qt::DirectConnection);
    socket.startClientEncryption();
    if (!socket.waitForEncrypted(handshakeMs)) {
        logMessage(Logging::Critical, QStringLiteral("Failed to start a secure connection to port \"%1\": %2")
                                          .arg(socket.peerPort())
                                          .arg(socket.errorString()));
        return false;
    }
    if (socket.peerCertificate() != certificate) {
        logMessage(Logging::Critical, QStringLiteral("Failed to verify the server"));
        return false;
    }
    return true;
}

bool readPortFile(const QString &path, quint16 &port, QString &error)
{
    // The server writes at most five digits; a FIFO or a device in the file's place must neither
    // stall the relay nor feed it without end.
    constexpr qint64 portFileLimit = 64;
    RegularFile file;
    QByteArray text;
    if (!file.open(path, error) || !file.read(0, portFileLimit, text, error)) {
        return false;
    }
    // Digits are taken one by one: a generic number parser would read "0x.." as hexadecimal and
    // silently wrap values above 65535 onto some other port.
    qsizetype position = 0;
    while (position < text.size() && QChar::isSpace(uchar(text.at(position)))) {
        ++position;
    }
    quint32 value = 0;
    int digits = 0;
    for (; position < text.size() && text.at(position) >= '0' && text.at(position) <= '9'; ++position) {
        value = value * 10 + quint32(text.at(position) - '0');
        ++digits;
        if (value > std::numeric_limits<quint16>::max()) {
            break;
        }
    }
    if (digits == 0 || value > std::numeric_limits<quint16>::max()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2")
                    .arg(path, digits == 0 ? QStringLiteral("No port number found") : QStringLiteral("Port number out of range"));
        return false;
    }
    port = quint16(value);
    return true;
}

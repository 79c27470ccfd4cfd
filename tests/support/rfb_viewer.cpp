#include "tests/support/rfb_viewer.h"

#include <QDeadlineTimer>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace {

// Single DES lives in OpenSSL's legacy provider.
QByteArray desEncrypt(const QByteArray &key, const QByteArray &plain)
{
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *standard = OSSL_PROVIDER_load(nullptr, "default");
    Q_UNUSED(standard);
    if (!legacy) {
        qFatal("OpenSSL's legacy provider (single DES) is not available");
    }
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", "provider=legacy");
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    QByteArray out(plain.size() + 8, '\0');
    int written = 0;
    const bool ok = cipher && context
        && EVP_EncryptInit_ex(context, cipher, nullptr, reinterpret_cast<const unsigned char *>(key.constData()), nullptr)
        && EVP_CIPHER_CTX_set_padding(context, 0)
        && EVP_EncryptUpdate(context, reinterpret_cast<unsigned char *>(out.data()), &written,
                             reinterpret_cast<const unsigned char *>(plain.constData()), int(plain.size()));
    EVP_CIPHER_CTX_free(context);
    EVP_CIPHER_free(cipher);
    if (!ok) {
        qFatal("DES encryption failed");
    }
    out.resize(written);
    return out;
}

QByteArray mirroredKey(const QByteArray &raw)
{
    QByteArray key = raw.left(8).leftJustified(8, '\0', true);
    for (char &byte : key) {
        unsigned char value = static_cast<unsigned char>(byte), mirrored = 0;
        for (int bit = 0; bit < 8; ++bit) {
            mirrored |= ((value >> bit) & 1) << (7 - bit);
        }
        byte = static_cast<char>(mirrored);
    }
    return key;
}

quint32 be32(const QByteArray &data, int offset = 0)
{
    return qFromBigEndian<quint32>(data.constData() + offset);
}

quint16 be16(const QByteArray &data, int offset = 0)
{
    return qFromBigEndian<quint16>(data.constData() + offset);
}

} // namespace

QByteArray RfbViewer::challengeResponse(const QString &password, const QByteArray &challenge)
{
    return desEncrypt(mirroredKey(password.toLatin1()), challenge);
}

QByteArray RfbViewer::passwordFile(const QString &password)
{
    static const char fixedKey[] = {23, 82, 107, 6, 35, 78, 88, 7};
    return desEncrypt(mirroredKey(QByteArray(fixedKey, 8)), password.toLatin1().left(8).leftJustified(8, '\0', true));
}

bool RfbViewer::fail(const QString &message)
{
    lastError = message;
    return false;
}

bool RfbViewer::connectToPort(quint16 port, int timeoutMs)
{
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs)) {
        return fail(QStringLiteral("connect to port %1: %2").arg(port).arg(socket.errorString()));
    }
    return true;
}

bool RfbViewer::readExactly(QByteArray &data, qint64 size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    data.clear();
    while (data.size() < size) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            return fail(QStringLiteral("read %1 of %2 bytes: %3").arg(data.size()).arg(size).arg(socket.errorString()));
        }
        data += socket.read(size - data.size());
    }
    return true;
}

RfbViewer::Handshake RfbViewer::authenticate(const QString &password, int protocolMinor)
{
    Handshake result;
    QByteArray data;
    if (!readExactly(data, 12, 5000)) {
        return result;
    }
    result.serverVersion = QString::fromLatin1(data).trimmed();
    socket.write(QStringLiteral("RFB 003.%1\n").arg(protocolMinor, 3, 10, QLatin1Char('0')).toLatin1());

    if (protocolMinor >= 7) {
        if (!readExactly(data, 1, 5000) || !readExactly(data, quint8(data[0]), 5000)) {
            return result;
        }
        if (!data.contains('\x02')) {
            fail(QStringLiteral("VNC authentication not offered"));
            return result;
        }
        socket.write(QByteArray(1, '\x02'));
    } else if (!readExactly(data, 4, 5000) || be32(data) != 2) {
        fail(QStringLiteral("VNC authentication not chosen by the server"));
        return result;
    }

    QByteArray challenge;
    if (!readExactly(challenge, 16, 5000)) {
        return result;
    }
    socket.write(challengeResponse(password, challenge));
    // A refusal may take a moment: the agent slows down guessing.
    if (!readExactly(data, 4, 10000)) {
        return result;
    }
    if (be32(data) != 0) {
        QByteArray length, reason;
        if (protocolMinor >= 8 && readExactly(length, 4, 5000) && readExactly(reason, be32(length), 5000)) {
            result.failureReason = QString::fromUtf8(reason);
        }
        fail(QStringLiteral("authentication refused"));
        return result;
    }

    socket.write(QByteArray(1, '\x01'));  // ClientInit: shared
    QByteArray init, name;
    if (!readExactly(init, 24, 5000) || !readExactly(name, be32(init, 20), 5000)) {
        return result;
    }
    result.accepted = true;
    result.width = be16(init, 0);
    result.height = be16(init, 2);
    result.desktopName = QString::fromUtf8(name);
    return result;
}

bool RfbViewer::readFramebuffer(int width, int height, int timeoutMs)
{
    // The server's default pixel format stays in effect; raw rectangles carry 4 bytes a pixel with it.
    QByteArray setEncodings(4, '\0');
    setEncodings[0] = 2;
    qToBigEndian<quint16>(1, setEncodings.data() + 2);
    setEncodings += QByteArray(4, '\0');  // encoding 0: raw
    QByteArray request(10, '\0');
    request[0] = 3;
    qToBigEndian<quint16>(quint16(width), request.data() + 6);
    qToBigEndian<quint16>(quint16(height), request.data() + 8);
    socket.write(setEncodings + request);

    QDeadlineTimer deadline(timeoutMs);
    qint64 covered = 0;
    QByteArray data;
    while (covered < qint64(width) * height) {
        if (!readExactly(data, 4, int(deadline.remainingTime()))) {
            return false;
        }
        if (data[0] != 0) {
            return fail(QStringLiteral("unexpected server message %1").arg(int(data[0])));
        }
        const int rectangles = be16(data, 2);
        for (int index = 0; index < rectangles; ++index) {
            if (!readExactly(data, 12, int(deadline.remainingTime()))) {
                return false;
            }
            const qint64 area = qint64(be16(data, 4)) * be16(data, 6);
            if (be32(data, 8) != 0) {
                return fail(QStringLiteral("unexpected encoding %1").arg(qint32(be32(data, 8))));
            }
            QByteArray pixels;
            if (!readExactly(pixels, area * 4, int(deadline.remainingTime()))) {
                return false;
            }
            covered += area;
        }
    }
    return true;
}

void RfbViewer::requestDesktopSize(int width, int height)
{
    // The answer comes as an ExtendedDesktopSize rectangle, which the viewer must announce.
    QByteArray setEncodings(8, '\0');
    setEncodings[0] = 2;
    qToBigEndian<quint16>(1, setEncodings.data() + 2);
    qToBigEndian<qint32>(-308, setEncodings.data() + 4);
    QByteArray request(24, '\0');
    request[0] = char(251);
    qToBigEndian<quint16>(quint16(width), request.data() + 2);
    qToBigEndian<quint16>(quint16(height), request.data() + 4);
    request[6] = 1;                                              // one screen: id 0 at 0,0
    qToBigEndian<quint16>(quint16(width), request.data() + 16);
    qToBigEndian<quint16>(quint16(height), request.data() + 18);
    socket.write(setEncodings + request);
    socket.flush();
}

void RfbViewer::sendCutText(const QByteArray &latin1)
{
    QByteArray message(8, '\0');
    message[0] = 6;
    qToBigEndian<quint32>(quint32(latin1.size()), message.data() + 4);
    socket.write(message + latin1);
    socket.flush();
}

bool RfbViewer::readCutText(QByteArray &latin1, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray data;
    for (;;) {
        if (!readExactly(data, 1, int(deadline.remainingTime()))) {
            return false;
        }
        const int type = quint8(data[0]);
        if (type == 3) {
            return readExactly(data, 7, int(deadline.remainingTime()))
                && readExactly(latin1, be32(data, 3), int(deadline.remainingTime()));
        }
        if (type == 2) {
            continue;
        }
        if (type != 0 || !readExactly(data, 3, int(deadline.remainingTime()))) {
            return fail(QStringLiteral("unexpected server message %1").arg(type));
        }
        for (int rectangles = be16(data, 1); rectangles > 0; --rectangles) {
            QByteArray header, payload;
            if (!readExactly(header, 12, int(deadline.remainingTime()))) {
                return false;
            }
            const qint32 encoding = qint32(be32(header, 8));
            qint64 size = 0;
            if (encoding == 0) {
                size = qint64(be16(header, 4)) * be16(header, 6) * 4;
            } else if (encoding == -308) {
                if (!readExactly(payload, 4, int(deadline.remainingTime()))) {
                    return false;
                }
                size = 16 * quint8(payload[0]);
            } else if (encoding != -223) {
                return fail(QStringLiteral("unexpected encoding %1").arg(encoding));
            }
            if (!readExactly(payload, size, int(deadline.remainingTime()))) {
                return false;
            }
        }
    }
}

bool RfbViewer::waitForClosed(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
        socket.readAll();
    }
    return socket.state() != QAbstractSocket::ConnectedState;
}

#include "common/files.h"

#include "common/regular_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {
constexpr qint64 pemFileLimit = 1048576;
constexpr qint64 tokenBytes = 16;
}

bool readFile(const QString &path, qint64 maximumSize, QByteArray &data, QString &error)
{
    RegularFile file;
    return file.open(path, error) && file.read(0, maximumSize, data, error);
}

bool readCertificate(const QString &path, QSslCertificate &certificate, QString &error)
{
    QByteArray pem;
    if (!readFile(path, pemFileLimit, pem, error)) {
        return false;
    }
    const QSslCertificate parsed(pem, QSsl::Pem);
    if (parsed.isNull()) {
        error = QStringLiteral("Invalid certificate in file \"%1\"").arg(path);
        return false;
    }
    certificate = parsed;
    return true;
}

bool readPrivateKey(const QString &path, QSslKey &key, QString &error)
{
    QByteArray pem;
    if (!readFile(path, pemFileLimit, pem, error)) {
        return false;
    }
    const QSslKey parsed(pem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    if (parsed.isNull()) {
        error = QStringLiteral("Invalid private key in file \"%1\"").arg(path);
        return false;
    }
    key = parsed;
    return true;
}

bool randomHex(QString &token, QString &error)
{
    // The device may in theory hand out fewer bytes than asked; keep reading until the token is whole.
    QFile device(QStringLiteral("/dev/urandom"));
    if (!device.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(device.fileName(), device.errorString());
        return false;
    }
    QByteArray bytes;
    while (bytes.size() < tokenBytes) {
        const QByteArray chunk = device.read(tokenBytes - bytes.size());
        if (chunk.isEmpty()) {
            error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(device.fileName(), device.errorString());
            return false;
        }
        bytes += chunk;
    }
    token = QString::fromLatin1(bytes.toHex());
    return true;
}

bool makePrivatePath(const QString &path, QString &error)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    QString partial;
    for (const QString &part : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        partial += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(partial);
        if (::mkdir(name.constData(), 0700) == 0) {
            // Set outright: the mask may have taken away more than others' rights.
            ::chmod(name.constData(), 0700);
        } else if (errno != EEXIST || !QFileInfo(partial).isDir()) {
            error = QString::fromLocal8Bit(std::strerror(errno == EEXIST ? ENOTDIR : errno));
            return false;
        }
    }
    return true;
}

#pragma once

#include <QByteArray>
#include <QString>

class QSslCertificate;
class QSslKey;

// Small file routines shared by every TLS user and the session start. Each returns success and, on
// failure, one readable text in `error`, leaving its output untouched; none of them logs.

// At most `maximumSize` bytes from the start of a regular file; anything else (a FIFO, a device) fails
// at once without blocking (see RegularFile).
bool readFile(const QString &path, qint64 maximumSize, QByteArray &data, QString &error);
bool readCertificate(const QString &path, QSslCertificate &certificate, QString &error);
bool readPrivateKey(const QString &path, QSslKey &key, QString &error);
// 32 lower-case hexadecimal digits from 16 bytes of /dev/urandom.
bool randomHex(QString &token, QString &error);
// Creates the folder with every missing parent, each new one readable by the user alone (0700)
// whatever the file-creation mask; folders already there are left as they are. The error is the
// system's reason alone, for the caller's message.
bool makePrivatePath(const QString &path, QString &error);

#pragma once

#include <QString>

// Writes a new self-signed RSA certificate and its key, the way the server creates its own.
bool createCertificate(const QString &certificatePath, const QString &keyPath, QString &error);

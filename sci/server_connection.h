#pragma once

#include <QString>

class QSslSocket;

// How the relay reaches the user's server: find its port in the port file, connect on loopback and
// complete TLS with the user's own certificate and key, accepting only a server that presents that
// same certificate.

// Leaves the socket connected and encrypted on success; logs its own failures.
bool connectToServer(QSslSocket &socket, const QString &portFilePath, const QString &certificatePath,
                     const QString &privateKeyPath);

// The port file holds the port as decimal text; leading white space is skipped and reading stops at
// the first character that is not a digit.
bool readPortFile(const QString &path, quint16 &port, QString &error);

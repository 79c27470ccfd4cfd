#pragma once

#include <QByteArray>
#include <QString>

// Small file chores of the session tests.

// Writes the bytes as the whole content of the file; false when that fails.
bool writeBytes(const QString &path, const QByteArray &content);
// Appends the bytes to the file, creating it when needed.
bool appendBytes(const QString &path, const QByteArray &content);
QByteArray readBytes(const QString &path);
// A session directory as a start leaves it, ready for SessionRuntime::load.
bool writeSessionDirectory(const QString &dir, quint16 display, qint64 monitorPid,
                           const QByteArray &windowMode = "desktop", const QByteArray &name = "xterm");
// The permission bits of the file (for example 0600), or -1 when it cannot be examined.
int fileMode(const QString &path);
// A process id that no process can have on this machine.
qint64 unusedPid();

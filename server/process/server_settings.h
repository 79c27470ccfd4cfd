#pragma once

#include <QString>
#include <QStringList>

// Everything the server reads from its settings store, read once at start-up, with the file paths
// derived from the user path.
struct ServerSettings
{
    QString userPath;
    QString logPath;
    QString logLevelName;
    QString pidPath;
    QString certificatePath;
    QString keyPath;
    QString sessionsPath;
    quint16 displayBase = 100;
    quint16 displayLimit = 100;
    QString hostName;
    QString sciUrl;
    qint32 suspendTimeout = -1;
    quint16 listenPort = 0;
    QString portPath;
    quint16 broadcastPort = 0;
    QString broadcastAddress;
    QStringList peers;
    // Whether a session's agent takes viewers on every address instead of the loopback alone.
    bool viewersFromNetwork = false;

    // The end of the display range handed to session start, kept within 16 bits.
    quint16 displayEnd() const;

    static ServerSettings read();
};

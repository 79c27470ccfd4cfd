#pragma once

#include <QByteArray>
#include <QString>

// One discovery datagram: a server of `user` announces the TLS port on which it can be queried,
// either because it has just started ("HELLO") or because its session list changed ("UPDATE").
class Announcement
{
public:
    enum class Reading { Valid, InvalidJson, WrongShape };

    // Accepts an object with a string "Method", an integer "Port" that is a usable TCP port
    // (1 to 65535) and a string "User"; anything else is of the wrong shape.
    static Reading read(const QByteArray &datagram, Announcement &announcement);
    // {"Method":…,"Port":…,"User":…} and a line feed, without white space.
    static QByteArray write(const QString &method, quint16 port, const QString &user);

    QString method;
    quint16 port = 0;
    QString user;
};

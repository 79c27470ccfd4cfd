#pragma once

#include <QByteArray>
#include <QString>

// How far a VNC connection got, read from the first bytes each side sent: whether the session
// let the viewer in, refused it (with its reason, where it gives one), or neither is known. A
// viewer in a browser cannot tell lumen that it was turned away; its connection's beginning can.
class RfbHandshake
{
public:
    enum class Outcome { Accepted, Refused, Unknown };

    // `fromHost` and `fromViewer` are the beginnings of the two directions of one connection.
    static Outcome read(const QByteArray &fromHost, const QByteArray &fromViewer, QString &reason);
};

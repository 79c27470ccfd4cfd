#include "server/session/port_probe.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {
constexpr int probeTimeoutMs = 1000;
}

bool isPortFree(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port, QIODevice::ReadWrite);
    if (socket.waitForConnected(probeTimeoutMs)) {
        socket.abort();
        return false;
    }
    return socket.error() == QAbstractSocket::ConnectionRefusedError;
}

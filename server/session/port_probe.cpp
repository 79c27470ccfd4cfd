#include "server/session/port_probe.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int probeTimeoutMs = 1000;
}

bool isPortFree(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port, QIODevice::ReadWrite);
    if (socket.waitForConnected(probeTimeoutMs)) {
        // Closed with a reset rather than a goodbye: the side that says goodbye first keeps its
        // port in TIME_WAIT, and nothing can listen on that port meanwhile.
        const linger reset = {1, 0};
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket.abort();
        return false;
    }
    return socket.error() == QAbstractSocket::ConnectionRefusedError;
}

bool isPortBindable(quint16 port, QString *reason)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        if (reason) {
            *reason = QString::fromLocal8Bit(std::strerror(errno));
        }
        return false;
    }
    const int reuse = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = ::bind(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (!bound && reason) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    ::close(descriptor);
    return bound;
}

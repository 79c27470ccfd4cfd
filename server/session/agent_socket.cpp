#include "server/session/agent_socket.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

namespace {
constexpr int answerTimeoutMs = 1000;
// The object is a few hundred bytes; a peer streaming more is not the agent.
constexpr qsizetype maximumAnswerSize = 1024 * 1024;
}

bool receiveAgentInfo(const QString &socketPath, QByteArray &data)
{
    const QDeadlineTimer deadline(answerTimeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath, QIODevice::ReadWrite);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        return false;
    }
    QByteArray received;
    while (socket.state() != QLocalSocket::UnconnectedState) {
        if (deadline.hasExpired() || received.size() > maximumAnswerSize) {
            socket.abort();
            return false;
        }
        socket.waitForReadyRead(int(deadline.remainingTime()));
        received += socket.readAll();
    }
    received += socket.readAll();
    if (received.size() > maximumAnswerSize) {
        return false;
    }
    data = received;
    return true;
}

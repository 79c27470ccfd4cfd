#include "server/rpc/ssl_responder.h"

#include "server/manager/session_updater.h"
#include "server/rpc/handler.h"
#include "server/rpc/ssl_server.h"

#include <QTcpSocket>

SslResponder::SslResponder(const Dispatcher *dispatcher, SessionUpdater *sessionUpdater, QObject *parent)
    : QObject(parent)
    , dispatcher(dispatcher)
    , sessionUpdater(sessionUpdater)
{
}

void SslResponder::newConnection()
{
    auto *server = qobject_cast<SslServer *>(sender());
    if (!server) {
        return;
    }
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        // The handler is the socket's child, so it goes with the socket.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->setReadBufferSize(socketReadBufferSize);
        auto *handler = new Handler(socket, dispatcher, socket);
        if (sessionUpdater) {
            connect(sessionUpdater, &SessionUpdater::sendUpdates, handler, &Handler::writeToDevice);
        }
    }
}

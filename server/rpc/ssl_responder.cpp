#include "server/rpc/ssl_responder.h"

#include "server/rpc/create_handler.h"
#include "server/rpc/handler.h"
#include "server/rpc/ssl_server.h"

#include <QTcpSocket>

SslResponder::SslResponder(RpcContext *context, QObject *parent)
    : QObject(parent)
    , context(context)
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
        Handler *handler = createHandler(context, socket);
        handler->setParent(socket);
    }
}

#pragma once

#include <QObject>

struct RpcContext;

// Gives every connection the listener accepts its JSON-RPC handler.
class SslResponder : public QObject
{
    Q_OBJECT

public:
    // The context is not owned; start-up keeps it alive longer than the responder.
    explicit SslResponder(RpcContext *context, QObject *parent = nullptr);

    // Bounds what one client can make the server buffer while its handler is busy.
    static constexpr qint64 socketReadBufferSize = 1048576;

public slots:
    void newConnection();

private:
    RpcContext *context;
};

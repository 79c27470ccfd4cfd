#pragma once

#include <QObject>

class Dispatcher;
class SessionUpdater;

// Gives every connection the listener accepts its JSON-RPC handler, served by the server's one
// dispatcher, and has the session updates sent to it.
class SslResponder : public QObject
{
    Q_OBJECT

public:
    // Neither is owned; start-up keeps both alive longer than every connection. Without an updater
    // the connections get no "UpdateSessions".
    explicit SslResponder(const Dispatcher *dispatcher, SessionUpdater *sessionUpdater = nullptr,
                          QObject *parent = nullptr);

    // Bounds what one client can make the server buffer while its handler is busy.
    static constexpr qint64 socketReadBufferSize = 1048576;

public slots:
    void newConnection();

private:
    const Dispatcher *dispatcher;
    SessionUpdater *sessionUpdater;
};

#pragma once

#include "client/host/host_commands.h"
#include "client/host/host_target.h"
#include "client/host/rpc_error.h"

#include <QObject>
#include <json/value.h>

class QEventLoop;
class RelayChannel;

// JSON-RPC 2.0 with the server of one host, through its relay. Calls wait for their answer while
// the event loop runs; notifications that arrive meanwhile are passed on as signals.
class RpcConnection : public QObject
{
    Q_OBJECT

public:
    RpcConnection(const HostTarget &target, const HostCommands &commands, QObject *parent = nullptr);

    const HostTarget &target() const { return host; }
    // How the host is reached; a forward made from these shares the relay's ssh connection.
    const HostCommands &hostCommands() const { return commands; }

    // Starts the relay; the first call finds out whether it works.
    void open();
    void close();
    bool isOpen() const;

    bool call(const QString &method, const Json::Value &params, Json::Value &result, RpcError &error,
              int timeoutMs);
    // The payload of the frame that a call sends (null params are left out).
    static QByteArray encodeRequest(int id, const QString &method, const Json::Value &params);
    // Why the channel ended, in words; empty while it is open.
    QString endReason() const;

public slots:
    // Ends the wait of the call in progress, which then fails as interrupted; the channel stays
    // open for further calls.
    void interrupt();
    // Ends the relay at once.
    void abort();

signals:
    void notificationReceived(const QString &method, const Json::Value &params);
    void ended();

private slots:
    void Channel_frameReceived(const QByteArray &payload);

private:
    HostTarget host;
    HostCommands commands;
    RelayChannel *channel;
    int nextId = 1;
    int awaitedId = 0;
    bool answered = false;
    Json::Value answer;
    QEventLoop *waiting = nullptr;
    bool interrupted = false;
    bool connectingShown = false;
};

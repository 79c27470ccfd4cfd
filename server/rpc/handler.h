#pragma once

#include "server/rpc/rpc_method.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class QIODevice;

// Serves one client connection: cuts NetString frames out of the received bytes, runs each JSON-RPC
// request or batch on the global thread pool (one at a time per connection) and writes the framed
// answer back on the main thread. It also answers "system.describe" itself.
//
// Nothing is written to a TLS connection before the server has checked the client's certificate:
// output produced earlier is held back until then, and dropped if the connection does not survive
// the check.
class Handler : public QObject, public RpcMethod
{
    Q_OBJECT

public:
    // Takes ownership of the method objects. The device is not owned; the handler is meant to be its
    // child and to die with it.
    Handler(QIODevice *device, const QMap<QString, RpcMethod *> &methods, QObject *parent = nullptr);
    // Waits for a request still running; its answer is not written.
    ~Handler() override;

    // Decodes, executes and encodes one received payload; returns the frame to write, or an empty
    // array when nothing is to be sent. Runs on a pool thread.
    QByteArray processMessage(QByteArray message);
    // Executes one request; null when nothing is to be sent for it.
    Json::Value processRequest(Json::Value request);
    static Json::Value makeError(Json::Value error, Json::Value id);

    // "system.describe": the description document of every registered method.
    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;

    // Output held back for a connection that has not been verified yet may not grow past this.
    static constexpr int heldOutputLimit = 1048576;

public slots:
    // Writes a complete frame (responses and notifications alike) in one write.
    void writeToDevice(QByteArray msg);

private slots:
    void Device_readyRead();
    void Watcher_finished();
    void Socket_encrypted();

private:
    void releaseHeldOutput();

    QIODevice *device;
    QByteArray buffer;
    QFutureWatcher<QByteArray> *watcher;
    QMap<QString, RpcMethod *> methods;
    bool requestInFlight = false;
    bool outputAllowed = true;
    QList<QByteArray> heldOutput;
    qint64 heldBytes = 0;
};

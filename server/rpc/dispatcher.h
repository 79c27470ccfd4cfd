#pragma once

#include "server/rpc/rpc_method.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <json/value.h>

// The server's JSON-RPC method table and the decoding, calling and encoding of one request payload
// (a single request or a batch). Built once at start-up and shared by every connection: it is only
// read once the methods are added, and its methods keep no state of their own, so requests of
// different connections run through it on pool threads at the same time.
//
// "system.describe" is always present and describes every method in the table.
class Dispatcher
{
public:
    Dispatcher();
    ~Dispatcher();

    Dispatcher(const Dispatcher &) = delete;
    Dispatcher &operator=(const Dispatcher &) = delete;

    // Takes ownership of the method. Only before the first request.
    void add(const QString &name, RpcMethod *method);

    // Decodes, executes and encodes one received payload; returns the frame to write, or an empty
    // array when nothing is to be sent.
    QByteArray processMessage(const QByteArray &message) const;
private:
    // Executes one request; null when nothing is to be sent for it.
    Json::Value processRequest(const Json::Value &request) const;

    QMap<QString, RpcMethod *> methods;
};

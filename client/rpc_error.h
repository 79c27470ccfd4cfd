#pragma once

#include <QString>

// How a remote call failed: the server answered with a JSON-RPC error, or no answer came because
// the channel to the host failed (then `message` explains it in words).
struct RpcError
{
    enum Kind { None, Server, Connection };

    Kind kind = None;
    int code = 0;
    QString message;

    bool isError() const { return kind != None; }
};

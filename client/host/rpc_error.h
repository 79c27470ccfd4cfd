#pragma once

#include <QString>

// How a remote call failed: the server answered with a JSON-RPC error, no answer came because the
// channel to the host failed or the program that makes it (ssh, or lumen_sci for local) could not
// be run (then `message` explains it in words), or the user interrupted the wait.
struct RpcError
{
    enum Kind { None, Server, Connection, LocalProgram, Interrupted };

    Kind kind = None;
    int code = 0;
    QString message;

    bool isError() const { return kind != None; }
};

#pragma once

#include "client/command_line/client_error.h"
#include "client/host/rpc_error.h"

// Turns a failed call into a message a user understands, with what to do next. `host` is the host
// as the user names it, `sessionId` the session concerned (may be empty).
ClientError describeFailure(const RpcError &error, const QString &host, const QString &sessionId);

#pragma once

#include "client/client_error.h"
#include "client/rpc_error.h"

// Turns a failed call into a message a user understands, with what to do next. `host` is the host
// as the user names it, `sessionId` the session concerned (may be empty).
ClientError describeFailure(const RpcError &error, const QString &host, const QString &sessionId);

#pragma once

#include "server/manager/session_access.h"
#include "server/rpc/rpc_method.h"

#include <QString>

class SessionManager;

// A method that works on the session manager. The methods keep no state of their own: the manager
// does the session work and its locking.
class SessionMethod : public RpcMethod
{
public:
    explicit SessionMethod(SessionManager *sessionManager);

protected:
    using ConnectOperation = SessionAccess (SessionManager::*)(const QString &);
    using PlainOperation = int (SessionManager::*)(const QString &);

    // Resume and replay: the session id in, how to connect out.
    bool invokeConnect(const Json::Value &params, Json::Value &result, ConnectOperation operation);
    // Suspend and terminate: the session id in, a null result out.
    bool invokeOperation(const Json::Value &params, Json::Value &result, PlainOperation operation);

    SessionManager *sessionManager;
};

#include "server/rpc/suspend_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool SuspendMethod::invoke(Json::Value params, Json::Value &result)
{
    return invokeOperation(params, result, &SessionManager::suspend);
}

Json::Value SuspendMethod::describe()
{
    return methodDocument("Disconnects all clients from a session.", {"id"}, nullptr);
}

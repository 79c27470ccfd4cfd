#include "server/rpc/replay_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool ReplayMethod::invoke(Json::Value params, Json::Value &result)
{
    return invokeConnect(params, result, &SessionManager::replay);
}

Json::Value ReplayMethod::describe()
{
    return methodDocument("Returns information about a session waiting for a connection.", {"id"}, "An object with the window mode, geometry, password and port number.");
}

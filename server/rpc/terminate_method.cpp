#include "server/rpc/terminate_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool TerminateMethod::invoke(Json::Value params, Json::Value &result)
{
    return invokeOperation(params, result, &SessionManager::terminate);
}

Json::Value TerminateMethod::describe()
{
    return methodDocument("Terminates a session.", {"id"}, nullptr);
}

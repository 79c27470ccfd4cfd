#include "server/rpc/resume_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool ResumeMethod::invoke(Json::Value params, Json::Value &result)
{
    return invokeConnect(params, result, &SessionManager::resume);
}

Json::Value ResumeMethod::describe()
{
    return methodDocument("Reconnects to a session.", {"id"}, "An object with the window mode, geometry, password and port number.");
}

#include "server/rpc/session_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

SessionMethod::SessionMethod(SessionManager *sessionManager)
    : sessionManager(sessionManager)
{
}

bool SessionMethod::invokeConnect(const Json::Value &params, Json::Value &result, ConnectOperation operation)
{
    QString id;
    if (!sessionIdParam(params, id)) {
        result = invalidParametersError();
        return false;
    }
    const SessionAccess access = (sessionManager->*operation)(id);
    if (access.status != 0) {
        result = statusError(access.status);
        return false;
    }
    result = Json::Value(Json::objectValue);
    result["windowMode"] = access.windowMode.toStdString();
    result["geometry"] = access.geometry.toStdString();
    result["password"] = access.password.toStdString();
    result["port"] = access.port;
    return true;
}

bool SessionMethod::invokeOperation(const Json::Value &params, Json::Value &result, PlainOperation operation)
{
    QString id;
    if (!sessionIdParam(params, id)) {
        result = invalidParametersError();
        return false;
    }
    const int status = (sessionManager->*operation)(id);
    if (status != 0) {
        result = statusError(status);
        return false;
    }
    result = Json::Value();
    return true;
}

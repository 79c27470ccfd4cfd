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
    QString windowMode;
    QString geometry;
    QString password;
    quint16 port = 0;
    const int status = (sessionManager->*operation)(id, windowMode, geometry, password, port);
    if (status != 0) {
        result = statusError(status);
        return false;
    }
    result = Json::Value(Json::objectValue);
    result["windowMode"] = windowMode.toStdString();
    result["geometry"] = geometry.toStdString();
    result["password"] = password.toStdString();
    result["port"] = port;
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

#include "server/rpc/start_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool StartMethod::invoke(Json::Value params, Json::Value &result)
{
    QString id;
    QString command;
    QString geometry;
    if (!positionalParams(params, {&id, &command, &geometry})
        && !namedParams(params, {"id", "command", "geometry"}, {&id, &command, &geometry})) {
        result = invalidParametersError();
        return false;
    }
    const SessionAccess access = sessionManager->start(id, command, geometry);
    if (access.status != 0) {
        result = statusError(access.status);
        return false;
    }
    result = Json::Value(Json::objectValue);
    result["geometry"] = access.geometry.toStdString();
    result["password"] = access.password.toStdString();
    result["port"] = access.port;
    return true;
}

Json::Value StartMethod::describe()
{
    return methodDocument("Starts a new session.", {"id", "command", "geometry"}, "An object with the geometry, password and port number.");
}

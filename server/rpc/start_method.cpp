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
    QString password;
    quint16 port = 0;
    const int status = sessionManager->start(id, command, geometry, password, port);
    if (status != 0) {
        result = statusError(status);
        return false;
    }
    result = Json::Value(Json::objectValue);
    result["geometry"] = geometry.toStdString();
    result["password"] = password.toStdString();
    result["port"] = port;
    return true;
}

Json::Value StartMethod::describe()
{
    return methodDocument("Starts a new session.", {"id", "command", "geometry"}, "An object with the geometry, password and port number.");
}

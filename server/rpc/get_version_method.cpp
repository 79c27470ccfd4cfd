#include "server/rpc/get_version_method.h"

#include "server/rpc/method_params.h"

#include <QCoreApplication>

bool GetVersionMethod::invoke(Json::Value, Json::Value &result)
{
    result = QCoreApplication::applicationVersion().toStdString();
    return true;
}

Json::Value GetVersionMethod::describe()
{
    return methodDocument("Returns the server version.", {}, "The server version.");
}

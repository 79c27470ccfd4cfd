#include "server/rpc/get_version_method.h"

#include <QCoreApplication>

bool GetVersionMethod::invoke(Json::Value, Json::Value &result)
{
    result = QCoreApplication::applicationVersion().toStdString();
    return true;
}

Json::Value GetVersionMethod::describe()
{
    Json::Value document(Json::objectValue);
    document["description"] = "Returns the server version.";
    document["parameters"] = Json::Value();
    document["returns"] = "The server version.";
    return document;
}

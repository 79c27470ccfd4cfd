#include "server/rpc/describe_method.h"

DescribeMethod::DescribeMethod(const QMap<QString, RpcMethod *> *methods)
    : methods(methods)
{
}

bool DescribeMethod::invoke(Json::Value, Json::Value &result)
{
    result = Json::Value(Json::objectValue);
    for (auto it = methods->constBegin(); it != methods->constEnd(); ++it) {
        result[it.key().toStdString()] = it.value()->describe();
    }
    return true;
}

Json::Value DescribeMethod::describe()
{
    Json::Value document(Json::objectValue);
    document["description"] = "List the RPC methods available";
    document["parameters"] = Json::Value();
    document["returns"] = "Object that contains description of all methods registered";
    return document;
}

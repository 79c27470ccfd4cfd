#include "server/rpc/describe_method.h"

#include "server/rpc/method_params.h"

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
    return methodDocument("List the RPC methods available", {}, "Object that contains description of all methods registered");
}

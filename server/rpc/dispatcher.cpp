#include "server/rpc/dispatcher.h"

#include "common/json_text.h"
#include "common/netstring.h"
#include "server/rpc/describe_method.h"

namespace {

Json::Value errorObject(int code, const char *message)
{
    Json::Value error(Json::objectValue);
    error["code"] = code;
    error["message"] = message;
    return error;
}

Json::Value makeError(const Json::Value &error, const Json::Value &id)
{
    Json::Value response(Json::objectValue);
    response["jsonrpc"] = "2.0";
    response["id"] = id;
    response["error"] = error;
    return response;
}

Json::Value invalidRequest()
{
    return makeError(errorObject(-32600, "Invalid JSON-RPC request."), Json::Value());
}

QByteArray frame(const Json::Value &value)
{
    return encodeNetString(compactJson(value));
}

} // namespace

Dispatcher::Dispatcher()
{
    methods.insert(QStringLiteral("system.describe"), new DescribeMethod(&methods));
}

Dispatcher::~Dispatcher()
{
    qDeleteAll(methods);
}

void Dispatcher::add(const QString &name, RpcMethod *method)
{
    delete methods.value(name);
    methods.insert(name, method);
}

QByteArray Dispatcher::processMessage(const QByteArray &message) const
{
    Json::Value value;
    if (!parseJson(message, value)) {
        return frame(makeError(errorObject(-32700, "Parse error."), Json::Value()));
    }

    if (value.isArray() || value.isNull()) {
        Json::Value responses(Json::arrayValue);
        for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
            const Json::Value response = processRequest(value[i]);
            if (!response.isNull()) {
                responses.append(response);
            }
        }
        return responses.empty() ? QByteArray() : frame(responses);
    }

    const Json::Value response = processRequest(value);
    return response.isNull() ? QByteArray() : frame(response);
}

Json::Value Dispatcher::processRequest(const Json::Value &request) const
{
    if (!request.isObject()) {
        return invalidRequest();
    }
    const bool notification = !request.isMember("id");
    const Json::Value id = notification ? Json::Value() : request["id"];
    if (!notification && (id.isObject() || id.isArray() || id.isNull())) {
        return invalidRequest();
    }
    if (!request.isMember("jsonrpc") || !request["jsonrpc"].isString() || request["jsonrpc"].asString() != "2.0") {
        return invalidRequest();
    }
    if (!request.isMember("method") || !request["method"].isString()) {
        return invalidRequest();
    }

    const std::string name = request["method"].asString();
    RpcMethod *method = methods.value(QString::fromUtf8(name.data(), int(name.size())));
    if (!method) {
        return notification ? Json::Value() : makeError(errorObject(-32601, "Method not found."), id);
    }

    const Json::Value params = request.isMember("params") ? request["params"] : Json::Value();
    Json::Value result;
    const bool succeeded = method->invoke(params, result);
    if (notification) {
        return Json::Value();
    }
    if (!succeeded) {
        return makeError(result, id);
    }
    Json::Value response(Json::objectValue);
    response["jsonrpc"] = "2.0";
    response["id"] = id;
    response["result"] = result;
    return response;
}

#include "server/rpc/method_params.h"

#include "server/session/error_code.h"

namespace {
const char *parameterDescription(const QByteArray &name)
{
    if (name == "id") {
        return "The session id.";
    }
    if (name == "command") {
        return "The command line for the application to run.";
    }
    return "The width and height in \"WxH\" format for a Desktop session or \"rootless\" for a Single "
           "Application session.";
}
}

bool stringValue(const Json::Value &value, QString &out)
{
    if (!value.isString()) {
        return false;
    }
    const std::string text = value.asString();
    out = QString::fromUtf8(text.data(), qsizetype(text.size()));
    return true;
}

bool positionalParams(const Json::Value &params, std::initializer_list<QString *> outs)
{
    if (!params.isArray() || params.size() < outs.size()) {
        return false;
    }
    QStringList values;
    for (Json::ArrayIndex index = 0; index < outs.size(); ++index) {
        QString value;
        if (!stringValue(params[index], value)) {
            return false;
        }
        values << value;
    }
    int index = 0;
    for (QString *out : outs) {
        *out = values.at(index++);
    }
    return true;
}

bool namedParams(const Json::Value &params, std::initializer_list<const char *> names,
                 std::initializer_list<QString *> outs)
{
    if (!params.isObject()) {
        return false;
    }
    QStringList values;
    for (const char *name : names) {
        QString value;
        if (!params.isMember(name) || !stringValue(params[name], value)) {
            return false;
        }
        values << value;
    }
    int index = 0;
    for (QString *out : outs) {
        *out = values.at(index++);
    }
    return true;
}

bool sessionIdParam(const Json::Value &params, QString &id)
{
    return positionalParams(params, {&id}) || namedParams(params, {"id"}, {&id});
}

Json::Value invalidParametersError()
{
    Json::Value error(Json::objectValue);
    error["code"] = -32602;
    error["message"] = "Invalid parameters.";
    return error;
}

Json::Value statusError(int status)
{
    Json::Value error(Json::objectValue);
    error["code"] = status - 32000;
    error["message"] = errorMessage(status).toStdString();
    return error;
}

Json::Value recordListJson(const SessionRecordList &records)
{
    Json::Value list; // stays null without records
    Json::ArrayIndex index = 0;
    for (const SessionRecord &record : records) {
        list[index++] = record.toJson();
    }
    return list;
}

Json::Value methodDocument(const char *description, std::initializer_list<const char *> parameters,
                           const char *returns)
{
    Json::Value document(Json::objectValue);
    document["description"] = description;
    Json::Value parameterDocuments;
    for (const char *name : parameters) {
        Json::Value entry(Json::objectValue);
        entry["type"] = "string";
        entry["description"] = parameterDescription(name);
        parameterDocuments[name] = entry;
    }
    document["parameters"] = parameterDocuments;
    document["returns"] = returns ? Json::Value(returns) : Json::Value();
    return document;
}

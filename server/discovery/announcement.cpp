#include "server/discovery/announcement.h"

#include "common/json_text.h"

#include <json/value.h>

namespace {

// Only integers written without fraction or exponent count; jsoncpp would call 2.0 an integer too.
bool isPortNumber(const Json::Value &value)
{
    switch (value.type()) {
    case Json::intValue:
        return value.asLargestInt() >= 1 && value.asLargestInt() <= 65535;
    case Json::uintValue:
        return value.asLargestUInt() >= 1 && value.asLargestUInt() <= 65535;
    default:
        return false;
    }
}

QString text(const Json::Value &value)
{
    return QString::fromUtf8(value.asString().c_str());
}

} // namespace

Announcement::Reading Announcement::read(const QByteArray &datagram, Announcement &announcement)
{
    Json::Value value;
    if (!parseJson(datagram, value)) {
        return Reading::InvalidJson;
    }
    if (!value.isObject() || !value.isMember("Method") || !value.isMember("Port") || !value.isMember("User")) {
        return Reading::WrongShape;
    }
    const Json::Value &method = value["Method"];
    const Json::Value &port = value["Port"];
    const Json::Value &user = value["User"];
    if (!method.isString() || !user.isString() || !isPortNumber(port)) {
        return Reading::WrongShape;
    }
    announcement.method = text(method);
    announcement.port = quint16(port.asUInt());
    announcement.user = text(user);
    return Reading::Valid;
}

QByteArray Announcement::write(const QString &method, quint16 port, const QString &user)
{
    Json::Value value(Json::objectValue);
    value["Method"] = method.toStdString();
    value["Port"] = Json::UInt(port);
    value["User"] = user.toStdString();
    return compactJson(value);
}

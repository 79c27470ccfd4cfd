#include "server/session/agent_info_object.h"

#include "server/session/agent_info.h"

#include "common/json_text.h"

#include <json/value.h>

#include <algorithm>

namespace {
// Written without fraction or exponent and within 32 bits: the library's isInt() alone also
// accepts 2.0.
bool isInteger(const Json::Value &value)
{
    return (value.type() == Json::intValue || value.type() == Json::uintValue) && value.isInt();
}

QString toQString(const Json::Value &value)
{
    return QString::fromStdString(value.asString());
}

void applyDateTime(const Json::Value &root, const char *member, QDateTime &field)
{
    const Json::Value &value = root[member];
    if (value.isString()) {
        field = AgentInfo::parseDateTime(toQString(value));
    }
}

void applyScreenSize(const Json::Value &root, QSize &field)
{
    const Json::Value &width = root["ScreenWidth"];
    const Json::Value &height = root["ScreenHeight"];
    if (isInteger(width) && isInteger(height)) {
        field = QSize(width.asInt(), height.asInt());
    }
}

void applyPasswords(const Json::Value &root, QStringList &field)
{
    if (!root.isMember("Passwords")) {
        return;
    }
    field.clear();
    const Json::Value &passwords = root["Passwords"];
    if (!passwords.isArray()) {
        return;
    }
    for (const Json::Value &password : passwords) {
        if (password.isString()) {
            field.append(toQString(password));
        }
    }
}
}

bool applyAgentInfoObject(const QByteArray &text, AgentInfo &info, QString &error)
{
    Json::Value root;
    if (!parseWholeJson(text, root)) {
        error = QStringLiteral("Failed to parse the info from the session: %1").arg(QStringLiteral("Invalid JSON"));
        return false;
    }
    if (root.isNull()) {
        return true;
    }
    if (!root.isObject()) {
        error = QStringLiteral("Failed to parse the info from the session: %1").arg(QStringLiteral("Not an object"));
        return false;
    }
    applyDateTime(root, "Started", info.started);
    applyDateTime(root, "LastConnect", info.lastConnect);
    applyDateTime(root, "LastDisconnect", info.lastDisconnect);
    applyScreenSize(root, info.screenSize);
    const Json::Value &clients = root["Clients"];
    if (isInteger(clients)) {
        info.clients = std::max(0, clients.asInt()); // a count, never below 0
    }
    applyPasswords(root, info.passwords);
    return true;
}

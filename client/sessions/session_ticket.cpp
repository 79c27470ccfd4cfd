#include "client/sessions/session_ticket.h"

bool SessionTicket::fromResult(const Json::Value &result, SessionTicket &ticket)
{
    if (!result.isObject() || !result["password"].isString() || !result["port"].isIntegral()) {
        return false;
    }
    const Json::LargestInt port = result["port"].asLargestInt();
    const QString password = QString::fromStdString(result["password"].asString());
    if (port < 1 || port > 65535 || password.isEmpty()) {
        return false;
    }
    ticket.sessionPort = quint16(port);
    ticket.sessionPassword = password;
    return true;
}

#pragma once

#include <QString>
#include <json/value.h>

// What a viewer needs to get into a session: its port on the host and a one-time password, from
// the answer to "Live.Start", "Live.Resume" or "Live.Replay".
class SessionTicket
{
public:
    static bool fromResult(const Json::Value &result, SessionTicket &ticket);

    quint16 port() const { return sessionPort; }
    QString password() const { return sessionPassword; }

private:
    quint16 sessionPort = 0;
    QString sessionPassword;
};

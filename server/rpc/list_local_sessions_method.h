#pragma once

#include "server/rpc/session_method.h"

// "Live.ListLocalSessions": this server's own sessions; what peer servers ask for.
class ListLocalSessionsMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

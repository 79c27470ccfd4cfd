#pragma once

#include "server/rpc/session_method.h"

// "Live.ListSessions": every session this server knows, its peers' first.
class ListSessionsMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

#pragma once

#include "server/rpc/session_method.h"

// "Live.Start": starts a session and hands out how to reach it. Can take tens of seconds.
class StartMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

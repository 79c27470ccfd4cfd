#pragma once

#include "server/rpc/session_method.h"

// "Live.Replay": hands out again the password a session is waiting with.
class ReplayMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

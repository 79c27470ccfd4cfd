#pragma once

#include "server/rpc/session_method.h"

// "Live.Suspend": disconnects a session's viewers; the session lives on.
class SuspendMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

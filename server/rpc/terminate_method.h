#pragma once

#include "server/rpc/session_method.h"

// "Live.Terminate": ends a session.
class TerminateMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

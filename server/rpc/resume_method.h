#pragma once

#include "server/rpc/session_method.h"

// "Live.Resume": asks a waiting session for a new one-time password.
class ResumeMethod : public SessionMethod
{
public:
    using SessionMethod::SessionMethod;

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

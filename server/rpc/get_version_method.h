#pragma once

#include "server/rpc/rpc_method.h"

// "Live.GetVersion": the server's version text. Takes no parameters and never fails.
class GetVersionMethod : public RpcMethod
{
public:
    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;
};

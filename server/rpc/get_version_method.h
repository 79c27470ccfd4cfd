#pragma once

#include "server/rpc/rpc_method.h"

class SessionManager;

// "Live.GetVersion": the server's version text. Takes no parameters and never fails.
class GetVersionMethod : public RpcMethod
{
public:
    // Every session method is built with the session manager; this one has no use for it.
    explicit GetVersionMethod(SessionManager *sessionManager);

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;

private:
    [[maybe_unused]] SessionManager *sessionManager; // kept for the common constructor shape
};

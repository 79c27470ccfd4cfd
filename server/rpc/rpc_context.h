#pragma once

class SessionManager;
class SessionUpdater;

// What every connection's methods share. Start-up owns the record and the objects it points to,
// and outlives every connection.
struct RpcContext
{
    SessionManager *sessionManager = nullptr;
    SessionUpdater *sessionUpdater = nullptr;
};

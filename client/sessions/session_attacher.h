#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_ticket.h"

class RpcConnection;

// Gets a viewer's way into a running session from the host that runs it, by the call that the
// session's present state allows: "Live.Replay" while a password waits for its viewer,
// "Live.Resume" while it has no viewer, and for a session connected elsewhere "Live.Suspend"
// first (taking it over), unless that is refused.
class SessionAttacher
{
public:
    SessionAttacher(RpcConnection &owner, const QString &sessionId, bool takeOver);

    bool attach(SessionTicket &ticket, ClientError &error);

private:
    // The state as the owner sees it now; false with an error when the session is gone.
    bool currentState(int &state, ClientError &error);

    RpcConnection &owner;
    QString id;
    bool takeOver;
};

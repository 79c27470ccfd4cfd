#pragma once

#include "server/session/display_search.h"

#include <QString>

#include <functional>

class SessionRuntime;

// The start of a session's agent up to its display, as the server and lumen-job both do it: a free
// display is found and held by a DisplayLease until the agent is up (so that no other start on this
// host, the server's or a batch job's, settles on it meanwhile), the agent is launched there, and when
// another socket took its viewer port before the agent could listen (see ViewerPortClash) the start
// moves on to another display.
class AgentStart
{
public:
    // How long an agent gets to bring its display up.
    static constexpr int agentWaitMs = 15000;

    // Launches an agent in the display range with the claim given (SessionRuntime::startAgent) and
    // returns the runtime that follows it, setting `code` to the ErrorCode.
    using Launch = std::function<SessionRuntime *(const DisplayClaim &claim, int &code)>;
    // Forgets the runtime last launched: its agent ended without its display.
    using Withdraw = std::function<void()>;

    // `leaseFolder` holds the leases (per host, in the user path). `available`, when given, must also
    // accept a display (the server: no stored session uses it). Returns the ErrorCode.
    static int run(const QString &leaseFolder, const QString &directory, const DisplayClaim &available,
                   const Launch &launch, const Withdraw &withdraw);
};

#pragma once

class SessionManager;

// Ends the sessions that have been without a viewer for longer than the suspend timeout (minutes;
// negative turns the check off). doWork runs on the session upkeep thread (SessionUpkeep), once a
// minute; a session that a request holds at that moment waits for the next check.
class SuspendChecker
{
public:
    static constexpr int intervalMs = 60000;

    SuspendChecker(SessionManager *sessionManager, int suspendTimeout);

    void doWork();

private:
    SessionManager *sessionManager;
    int suspendTimeout;
};

#include "server/manager/suspend_checker.h"

#include "server/manager/session_manager.h"

SuspendChecker::SuspendChecker(SessionManager *sessionManager, int suspendTimeout)
    : sessionManager(sessionManager)
    , suspendTimeout(suspendTimeout)
{
}

void SuspendChecker::doWork()
{
    if (suspendTimeout >= 0) {
        sessionManager->checkSuspendTimeouts(suspendTimeout);
    }
}

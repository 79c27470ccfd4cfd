#include "server/rpc/suspend_checker.h"

#include "server/manager/session_manager.h"

#include <QTimer>

SuspendChecker::SuspendChecker(SessionManager *sessionManager, int suspendTimeout, QObject *parent)
    : QThread(parent)
    , sessionManager(sessionManager)
    , suspendTimeout(suspendTimeout)
{
}

SuspendChecker::~SuspendChecker()
{
    quit();
    wait();
}

void SuspendChecker::run()
{
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, &SuspendChecker::doWork);
    timer.start(intervalMs);
    exec();
}

void SuspendChecker::doWork()
{
    if (suspendTimeout >= 0) {
        sessionManager->checkSuspendTimeouts(suspendTimeout);
    }
}

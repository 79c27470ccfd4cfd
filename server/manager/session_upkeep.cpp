#include "server/manager/session_upkeep.h"

#include "server/manager/session_updater.h"
#include "server/manager/suspend_checker.h"

#include <QTimer>

SessionUpkeep::SessionUpkeep(SessionUpdater *updater, SuspendChecker *checker, QObject *parent)
    : QThread(parent)
    , updater(updater)
    , checker(checker)
{
}

SessionUpkeep::~SessionUpkeep()
{
    quit();
    wait();
}

void SessionUpkeep::run()
{
    // The timers belong to this thread and call straight in, so the work runs here. A timer whose
    // interval passed while the thread was busy fires once afterwards, however many ticks it missed.
    QTimer updateTimer;
    QTimer suspendTimer;
    QObject::connect(&updateTimer, &QTimer::timeout, [this] { updater->doWork(); });
    QObject::connect(&suspendTimer, &QTimer::timeout, [this] { checker->doWork(); });
    updateTimer.start(SessionUpdater::intervalMs);
    suspendTimer.start(SuspendChecker::intervalMs);
    exec();
}

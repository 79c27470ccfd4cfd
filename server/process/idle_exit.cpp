#include "server/process/idle_exit.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

IdleExit::IdleExit(QObject *parent)
    : QObject(parent)
{
}

void IdleExit::sessionAdded()
{
    sessions.ref();
    scheduleStopIfBusy();
}

void IdleExit::sessionRemoved()
{
    if (sessions.fetchAndSubRelaxed(1) == 1 && clients.loadRelaxed() == 0) {
        scheduleRestartIfIdle();
    }
}

void IdleExit::clientAdded()
{
    clients.ref();
    scheduleStopIfBusy();
}

void IdleExit::clientRemoved()
{
    if (clients.fetchAndSubRelaxed(1) == 1 && sessions.loadRelaxed() == 0) {
        scheduleRestartIfIdle();
    }
}

bool IdleExit::start(int intervalMs)
{
    if (timer) {
        return false;
    }
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, &IdleExit::expired);
    timer->start();
    return true;
}

bool IdleExit::isCounting() const
{
    return timer && timer->isActive();
}

int IdleExit::sessionCount() const
{
    return sessions.loadRelaxed();
}

int IdleExit::clientCount() const
{
    return clients.loadRelaxed();
}

IdleExit &IdleExit::global()
{
    static IdleExit *instance = new IdleExit; // lives as long as the process
    return *instance;
}

// Both checks run on the object's own thread and look at the counts as they are then, so calls that
// cross each other between threads still leave the timer in the state the final counts ask for.
void IdleExit::stopIfBusy()
{
    if (timer && (sessions.loadRelaxed() != 0 || clients.loadRelaxed() != 0)) {
        timer->stop();
    }
}

void IdleExit::restartIfIdle()
{
    if (timer && sessions.loadRelaxed() == 0 && clients.loadRelaxed() == 0) {
        timer->start();
    }
}

void IdleExit::scheduleStopIfBusy()
{
    QMetaObject::invokeMethod(this, [this] { stopIfBusy(); }, Qt::QueuedConnection);
}

void IdleExit::scheduleRestartIfIdle()
{
    QMetaObject::invokeMethod(this, [this] { restartIfIdle(); }, Qt::QueuedConnection);
}

void idleExitSessionAdded() { IdleExit::global().sessionAdded(); }
void idleExitSessionRemoved() { IdleExit::global().sessionRemoved(); }
void idleExitClientAdded() { IdleExit::global().clientAdded(); }
void idleExitClientRemoved() { IdleExit::global().clientRemoved(); }

int idleExitInterval()
{
    bool isNumber = false;
    const int configured = qEnvironmentVariableIntValue("LUMEN_SERVER_IDLE_EXIT_MS", &isNumber);
    return isNumber && configured > 0 ? configured : IdleExit::defaultIntervalMs;
}

void startIdleExitTimer(int intervalMs)
{
    IdleExit &idleExit = IdleExit::global();
    // quit() is static in Qt 6: connected as a member slot (and with Qt::UniqueConnection, which
    // needs one) the connection is refused at run time and the server would never end. The
    // application object is the context, so the call runs on its thread and goes with it.
    if (idleExit.start(intervalMs)) {
        QObject::connect(&idleExit, &IdleExit::expired, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
    }
}

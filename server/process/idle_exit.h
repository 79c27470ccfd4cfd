#pragma once

#include <QAtomicInt>
#include <QObject>

class QTimer;

// Ends the server after a quiet spell without sessions and clients. The counts may change on any
// thread (the session store works on pool threads); the timer itself is only touched on the thread
// the object lives on, through queued calls that look at the counts when they run.
class IdleExit : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultIntervalMs = 300000;

    explicit IdleExit(QObject *parent = nullptr);

    void sessionAdded();
    void sessionRemoved();
    void clientAdded();
    void clientRemoved();

    // Creates and starts the countdown; later calls are ignored and return false.
    bool start(int intervalMs = defaultIntervalMs);

    bool isCounting() const;
    int sessionCount() const;
    int clientCount() const;

    // The one instance the server's free functions use.
    static IdleExit &global();

signals:
    void expired();

private:
    void stopIfBusy();
    void restartIfIdle();
    void scheduleStopIfBusy();
    void scheduleRestartIfIdle();

    QAtomicInt sessions;
    QAtomicInt clients;
    QTimer *timer = nullptr;
};

void idleExitSessionAdded();
void idleExitSessionRemoved();
void idleExitClientAdded();
void idleExitClientRemoved();
// The countdown the server uses: five minutes, unless the environment variable
// LUMEN_SERVER_IDLE_EXIT_MS holds a positive number of milliseconds. That variable exists for tests,
// which cannot wait five minutes to see the real program end by itself.
int idleExitInterval();
// Creates the process-wide timer, connected to the application's quit(), and starts it. Only the
// first call counts.
void startIdleExitTimer(int intervalMs = IdleExit::defaultIntervalMs);

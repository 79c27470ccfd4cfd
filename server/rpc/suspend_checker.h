#pragma once

#include <QThread>

class SessionManager;

// Once a minute ends the sessions that have been without a viewer for longer than the suspend
// timeout. Like the updater, its thread only keeps time and the check runs on the main thread.
class SuspendChecker : public QThread
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 60000;

    SuspendChecker(SessionManager *sessionManager, int suspendTimeout, QObject *parent = nullptr);
    ~SuspendChecker() override;

protected:
    void run() override;

private slots:
    void doWork();

private:
    SessionManager *sessionManager;
    int suspendTimeout;
};

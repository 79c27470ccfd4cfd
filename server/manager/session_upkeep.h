#pragma once

#include <QThread>

class SessionUpdater;
class SuspendChecker;

// The thread that looks after the sessions: the update every 400 ms and the suspend check once a
// minute both run here, never on the main thread, so a session that is slow to answer (or held by a
// request that waits for its agent) delays only the upkeep, never a connection.
//
// A tick that comes while the previous work still runs is merged into one that runs right after
// it, never queued up. The updater and the checker are not owned and must outlive the thread.
class SessionUpkeep : public QThread
{
    Q_OBJECT

public:
    SessionUpkeep(SessionUpdater *updater, SuspendChecker *checker, QObject *parent = nullptr);
    // Waits for the work in progress, which is bounded by the store's refresh of each session.
    ~SessionUpkeep() override;

protected:
    void run() override;

private:
    SessionUpdater *updater;
    SuspendChecker *checker;
};

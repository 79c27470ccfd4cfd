#pragma once

#include "server/manager/session_watcher.h"
#include "server/manager/update_frame.h"

#include <QByteArray>
#include <QObject>

class SessionManager;

// Asks the store for the session list (clearing away ended sessions on the way) and, when the list
// differs from the one last sent, hands it out as one "UpdateSessions" frame. The first update
// always hands one out, even an empty list. The store refreshes only the sessions that its
// SessionWatcher names: those that showed a change since, and now and then each of them anyway.
//
// doWork runs on the session upkeep thread (SessionUpkeep), every 400 ms; sendUpdates is emitted
// there, so receivers on the main thread (the handlers, the UDP talker) get the frame queued and
// only write it.
class SessionUpdater : public QObject
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 400;

    explicit SessionUpdater(SessionManager *sessionManager, QObject *parent = nullptr);

    void doWork();

signals:
    void sendUpdates(QByteArray msg);

private:
    SessionManager *sessionManager;
    SessionWatcher watcher;
    UpdateFrame frame;
    QByteArray lastMessage;
};

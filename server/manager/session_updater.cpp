#include "server/manager/session_updater.h"

#include "server/manager/session_manager.h"

SessionUpdater::SessionUpdater(SessionManager *sessionManager, QObject *parent)
    : QObject(parent)
    , sessionManager(sessionManager)
    , watcher(intervalMs)
{
}

void SessionUpdater::doWork()
{
    watcher.collectChanges();
    bool unchanged = false;
    const SessionRecordList records = sessionManager->updateSessions(
        [this](const QString &id, const SessionRuntime &runtime) { return watcher.needsLook(id, runtime); },
        &unchanged);
    // Usually every watched session was just asked about, and none can have gone.
    if (watcher.hasUnaskedWatches()) {
        watcher.keepOnly(sessionManager->ids());
    }
    // The usual idle update: the list, and so its frame, is the last one. The first is always sent.
    if (unchanged && !lastMessage.isEmpty()) {
        return;
    }
    const QByteArray message = frame.frameFor(records);
    if (message == lastMessage) {
        return;
    }
    lastMessage = message;
    emit sendUpdates(message);
}

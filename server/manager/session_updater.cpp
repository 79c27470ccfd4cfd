#include "server/manager/session_updater.h"

#include "common/json_text.h"
#include "common/netstring.h"
#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

SessionUpdater::SessionUpdater(SessionManager *sessionManager, QObject *parent)
    : QObject(parent)
    , sessionManager(sessionManager)
    , watcher(intervalMs)
{
}

void SessionUpdater::doWork()
{
    Json::Value notification(Json::objectValue);
    notification["jsonrpc"] = "2.0";
    notification["method"] = "UpdateSessions";
    watcher.collectChanges();
    const SessionRecordList records = sessionManager->updateSessions(
        [this](const QString &id, const SessionRuntime &runtime) { return watcher.needsLook(id, runtime); });
    watcher.keepOnly(sessionManager->ids());
    notification["params"] = recordListJson(records);
    const QByteArray frame = encodeNetString(compactJson(notification));
    if (frame == lastMessage) {
        return;
    }
    lastMessage = frame;
    emit sendUpdates(frame);
}

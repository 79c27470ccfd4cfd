#include "server/manager/session_updater.h"

#include "common/json_text.h"
#include "common/netstring.h"
#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

SessionUpdater::SessionUpdater(SessionManager *sessionManager, QObject *parent)
    : QObject(parent)
    , sessionManager(sessionManager)
{
}

void SessionUpdater::doWork()
{
    Json::Value notification(Json::objectValue);
    notification["jsonrpc"] = "2.0";
    notification["method"] = "UpdateSessions";
    notification["params"] = recordListJson(sessionManager->updateSessions());
    const QByteArray frame = encodeNetString(compactJson(notification));
    if (frame == lastMessage) {
        return;
    }
    lastMessage = frame;
    emit sendUpdates(frame);
}

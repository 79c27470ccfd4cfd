#include "server/rpc/session_updater.h"

#include "server/manager/session_manager.h"
#include "common/json_text.h"
#include "server/rpc/method_params.h"
#include "common/netstring.h"

#include <QMetaObject>
#include <QTimer>

SessionUpdater::SessionUpdater(SessionManager *sessionManager, QObject *parent)
    : QThread(parent)
    , sessionManager(sessionManager)
{
}

SessionUpdater::~SessionUpdater()
{
    quit();
    wait();
}

void SessionUpdater::run()
{
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, &SessionUpdater::doWork);
    timer.start(intervalMs);
    exec();
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
    QMetaObject::invokeMethod(this, "sendUpdatesHelper", Qt::QueuedConnection, Q_ARG(QByteArray, frame));
}

void SessionUpdater::sendUpdatesHelper(QByteArray msg)
{
    emit sendUpdates(msg);
}

#include "server/rpc/create_handler.h"

#include "server/manager/session_updater.h"
#include "server/rpc/get_version_method.h"
#include "server/rpc/handler.h"
#include "server/rpc/list_local_sessions_method.h"
#include "server/rpc/list_sessions_method.h"
#include "server/rpc/replay_method.h"
#include "server/rpc/resume_method.h"
#include "server/rpc/rpc_context.h"
#include "server/rpc/start_method.h"
#include "server/rpc/suspend_method.h"
#include "server/rpc/terminate_method.h"

#include <QMap>

Handler *createHandler(RpcContext *context, QIODevice *device)
{
    // Each connection gets its own method objects: they carry no state beyond the manager pointer,
    // so connections share nothing but the manager.
    SessionManager *manager = context->sessionManager;
    QMap<QString, RpcMethod *> methods;
    methods.insert(QStringLiteral("Live.GetVersion"), new GetVersionMethod);
    methods.insert(QStringLiteral("Live.ListSessions"), new ListSessionsMethod(manager));
    methods.insert(QStringLiteral("Live.ListLocalSessions"), new ListLocalSessionsMethod(manager));
    methods.insert(QStringLiteral("Live.Start"), new StartMethod(manager));
    methods.insert(QStringLiteral("Live.Resume"), new ResumeMethod(manager));
    methods.insert(QStringLiteral("Live.Replay"), new ReplayMethod(manager));
    methods.insert(QStringLiteral("Live.Suspend"), new SuspendMethod(manager));
    methods.insert(QStringLiteral("Live.Terminate"), new TerminateMethod(manager));
    auto *handler = new Handler(device, methods);
    if (context->sessionUpdater) {
        QObject::connect(context->sessionUpdater, &SessionUpdater::sendUpdates, handler, &Handler::writeToDevice);
    }
    return handler;
}

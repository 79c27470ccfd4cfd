#include "server/rpc/live_methods.h"

#include "server/rpc/dispatcher.h"
#include "server/rpc/get_version_method.h"
#include "server/rpc/list_local_sessions_method.h"
#include "server/rpc/list_sessions_method.h"
#include "server/rpc/replay_method.h"
#include "server/rpc/resume_method.h"
#include "server/rpc/start_method.h"
#include "server/rpc/suspend_method.h"
#include "server/rpc/terminate_method.h"

void addLiveMethods(Dispatcher &dispatcher, SessionManager *manager)
{
    dispatcher.add(QStringLiteral("Live.GetVersion"), new GetVersionMethod);
    dispatcher.add(QStringLiteral("Live.ListSessions"), new ListSessionsMethod(manager));
    dispatcher.add(QStringLiteral("Live.ListLocalSessions"), new ListLocalSessionsMethod(manager));
    dispatcher.add(QStringLiteral("Live.Start"), new StartMethod(manager));
    dispatcher.add(QStringLiteral("Live.Resume"), new ResumeMethod(manager));
    dispatcher.add(QStringLiteral("Live.Replay"), new ReplayMethod(manager));
    dispatcher.add(QStringLiteral("Live.Suspend"), new SuspendMethod(manager));
    dispatcher.add(QStringLiteral("Live.Terminate"), new TerminateMethod(manager));
}

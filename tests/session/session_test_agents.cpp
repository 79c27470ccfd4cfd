#include "session_test_agents.h"

#include "session_test_files.h"

#include "server/session/error_code.h"
#include "server/session/session_runtime.h"

#include <QDir>

#include <csignal>

void stopAgent(SessionRuntime &runtime)
{
    if (runtime.path().isEmpty()) {
        return;
    }
    bool ok = false;
    const qint64 pid = readBytes(QDir(runtime.path()).filePath("monitor_pid")).toLongLong(&ok);
    if (!ok || pid <= 0) {
        return;
    }
    // The launcher itself, not "server_pid": a test may end before the agent wrote that file.
    ::kill(pid_t(pid), SIGTERM);
    if (runtime.waitForExit(5000) == AgentTimeout) {
        ::kill(pid_t(pid), SIGKILL);
        runtime.waitForExit(5000);
    }
}

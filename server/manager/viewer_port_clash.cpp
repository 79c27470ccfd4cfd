#include "server/manager/viewer_port_clash.h"

#include "server/session/agent_contract.h"
#include "server/session/port_probe.h"
#include "server/session/session_runtime.h"

#include <QDir>
#include <QFile>

bool ViewerPortClash::endedTheAgent(const SessionRuntime &runtime)
{
    return runtime.exited() && !runtime.started().isValid()
        && !isPortBindable(AgentContract::viewerPort(runtime.display()));
}

void ViewerPortClash::clearAgentFiles(const QString &directory)
{
    const QDir dir(directory);
    for (const QLatin1String &name : {AgentContract::logFile, AgentContract::pidFile, AgentContract::exitFile}) {
        QFile::remove(dir.filePath(name));
    }
}

#include "server/manager/agent_start.h"

#include "common/logging.h"
#include "server/manager/viewer_port_clash.h"
#include "server/session/agent_contract.h"
#include "server/session/display_lease.h"
#include "server/session/error_code.h"
#include "server/session/session_runtime.h"

int AgentStart::run(const QString &leaseFolder, const QString &directory, const DisplayClaim &available,
                    const Launch &launch, const Withdraw &withdraw)
{
    // Held from the search until the agent is up; from then on its X server and ports mark the display.
    DisplayLease lease(leaseFolder);
    QString leaseError;
    const DisplayClaim claim = [&](quint16 display) {
        if (available && !available(display)) {
            return false;
        }
        if (lease.take(display)) {
            return true;
        }
        if (!lease.error().isEmpty()) {
            leaseError = lease.error();
        }
        return false;
    };
    int code = NoError;
    SessionRuntime *runtime = launch(claim, code);
    for (int attempt = 1; code == NoError; ++attempt) {
        code = runtime->waitForStarted(agentWaitMs);
        if (code == NoError || attempt == ViewerPortClash::attempts || !ViewerPortClash::endedTheAgent(*runtime)) {
            break;
        }
        const quint16 display = runtime->display();
        logMessage(Logging::Warning, QStringLiteral("Another socket took the viewer port \"%1\" of display %2 before "
                                                    "its agent could listen; trying another display")
                                         .arg(AgentContract::viewerPort(display))
                                         .arg(display));
        withdraw();
        ViewerPortClash::clearAgentFiles(directory);
        runtime = launch(claim, code);
    }
    if (code == NoOpenDisplay && !leaseError.isEmpty()) {
        logMessage(Logging::Warning, leaseError);
    }
    return code;
}

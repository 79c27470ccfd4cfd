#include "job/job_session.h"

#include "common/logging.h"
#include "common/settings.h"
#include "server/session/agent_contract.h"
#include "server/session/display_lease.h"
#include "server/session/error_code.h"
#include "server/session/session_id.h"
#include "server/session/value_files.h"

#include <QDir>
#include <QFileInfo>

#include <csignal>

namespace {
// As long as the server gives an agent for its display.
constexpr int agentWaitMs = 15000;
const QString jobFile = QStringLiteral("job");
} // namespace

JobSession::JobSession(const ServerSettings &settings, const QString &id, const QString &jobId)
    : settings(settings)
    , id(id)
    , jobId(jobId)
    , path(sessionDirectory(settings.sessionsPath, id))
{
}

int JobSession::start(const QString &geometry, const QString &command)
{
    // Two agents must never share a directory: an id in use is refused, as the server refuses it.
    if (QFileInfo::exists(path)) {
        logMessage(Logging::Warning, QStringLiteral("The session directory \"%1\" exists already").arg(path));
        return NoSuchSession;
    }
    ownDirectory = true;
    // Held from the search until the agent is up; from then on its X server and ports take the display.
    DisplayLease lease(Settings::userFile(settings.userPath, QStringLiteral("displays")));
    QString leaseError;
    const auto claim = [&lease, &leaseError](quint16 display) {
        if (lease.take(display)) {
            return true;
        }
        if (!lease.error().isEmpty()) {
            leaseError = lease.error();
        }
        return false;
    };
    int code = runtime.startAgent(path, settings.displayBase, settings.displayEnd(), geometry, command, claim);
    if (code == NoOpenDisplay && !leaseError.isEmpty()) {
        logMessage(Logging::Warning, leaseError);
    }
    if (code == NoError) {
        code = runtime.waitForStarted(agentWaitMs);
    }
    lease.release();
    if (code == NoError) {
        code = runtime.startApplication(command);
    }
    QString error;
    if (code == NoError && !jobId.isEmpty() && !writeFileString(QDir(path).filePath(jobFile), jobId, error)) {
        logMessage(Logging::Warning, error);
        code = WriteFileFailed;
    }
    return code;
}

int JobSession::stop(int timeoutMs)
{
    const int code = runtime.sendSignal(SIGTERM);
    return code != NoError ? code : runtime.waitForExit(timeoutMs);
}

qint32 JobSession::launcherPid() const
{
    int pid = 0;
    QString ignored;
    return readFileInt(QDir(path).filePath(AgentContract::monitorPidFile), pid, ignored) && pid > 0 ? pid : 0;
}

bool JobSession::exitStatus(int &status) const
{
    QString ignored;
    return readFileInt(QDir(path).filePath(AgentContract::exitFile), status, ignored);
}

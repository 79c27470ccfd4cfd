#include "job/job_session.h"

#include "common/logging.h"
#include "common/settings.h"
#include "server/manager/agent_start.h"
#include "server/session/agent_contract.h"
#include "server/session/error_code.h"
#include "server/session/session_id.h"
#include "server/session/value_files.h"

#include <QDir>
#include <QFileInfo>

#include <csignal>

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
    // The start record names this process: a server that looks at the directory meanwhile leaves the
    // session to it, and takes it up once complete.
    runtime.setStarter(SessionStarter::Job);
    const auto launch = [this, &geometry, &command](const DisplayClaim &claim, int &code) {
        code = runtime.startAgent(path, settings.displayBase, settings.displayEnd(), geometry, command, claim);
        return &runtime;
    };
    const QString leaseFolder = Settings::userFile(settings.userPath, QStringLiteral("displays"));
    int code = AgentStart::run(leaseFolder, path, {}, launch, [] {});
    // Before the start is complete, so that a server that takes the session up reads its job with it.
    QString error;
    if (code == NoError && !jobId.isEmpty() && !writeFileString(QDir(path).filePath(AgentContract::jobFile), jobId, error)) {
        logMessage(Logging::Warning, error);
        code = WriteFileFailed;
    }
    if (code == NoError) {
        code = runtime.startApplication(command);
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

#pragma once

#include "server/process/server_settings.h"
#include "server/session/session_runtime.h"

#include <QString>

// The one session of a batch job, made and ended with the server's own code: the same directory,
// files, X authority and display search, with a display lease that the server's starts and those of
// other jobs respect. Its launchers run as descendants of lumen-job (see main), so that every process
// of the session belongs to the job. No password is made: the client asks the node's server for one
// when it attaches, as for any session.
//
// Every call blocks (display probes, waits for the agent): run them on a worker thread.
class JobSession
{
public:
    JobSession(const ServerSettings &settings, const QString &id, const QString &jobId);

    // The agent, its display up, then the application. An ErrorCode; the detail is logged.
    int start(const QString &geometry, const QString &command);
    // The agent's own stop (SIGTERM to it), then its end, within `timeoutMs`.
    int stop(int timeoutMs);

    QString directory() const { return path; }
    // The directory is this start's own: it did not exist before.
    bool madeDirectory() const { return ownDirectory; }
    quint16 display() const { return runtime.display(); }
    // The agent's launcher once start() has launched it, else 0.
    qint32 launcherPid() const;
    // The status the agent left in its directory; false while it left none.
    bool exitStatus(int &status) const;

private:
    ServerSettings settings;
    QString id;
    QString jobId;
    QString path;
    bool ownDirectory = false;
    SessionRuntime runtime;
};

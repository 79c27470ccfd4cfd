#include "server/manager/session_watch.h"

#include "server/session/agent_file_events.h"
#include "server/session/launcher_state.h"
#include "server/session/pidfd.h"
#include "server/session/session_runtime.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

SessionWatch::SessionWatch(const SessionRuntime &runtime, AgentFileEvents &files, int readiness)
    : runtime(&runtime)
    , path(runtime.path())
    , launcherPid(runtime.monitorPid())
    , files(files)
    , readiness(readiness)
{
}

SessionWatch::~SessionWatch()
{
    stop();
}

bool SessionWatch::follows(const SessionRuntime &other) const
{
    // The address alone could be that of a new session under the same id; its launcher differs. (The
    // path comes from the id, which is the same.)
    return runtime == &other && launcherPid == other.monitorPid();
}

SessionWatch::Outcome SessionWatch::start(QString &error)
{
    stop();
    if (readiness < 0) {
        error = QStringLiteral("there is no epoll instance");
        return Outcome::Failed;
    }
    directoryWatch = files.watch(path, error);
    if (directoryWatch < 0) {
        return Outcome::Failed;
    }
    launcher = pidfdOpen(launcherPid);
    if (launcher < 0) {
        if (errno == ESRCH) {
            return Outcome::LauncherGone;
        }
        error = errno == ENOSYS ? QStringLiteral("the kernel has no process descriptors") : qt_error_string(errno);
        return Outcome::Failed;
    }
    // Checked after the pidfd was taken: the process it names is then the session's launcher, not one
    // that got its id after the launcher ended.
    if (launcherState(launcherPid, path) != LauncherState::Alive) {
        stop();
        return Outcome::LauncherGone;
    }
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.ptr = this;
    if (::epoll_ctl(readiness, EPOLL_CTL_ADD, launcher, &event) != 0) {
        error = qt_error_string(errno);
        stop();
        return Outcome::Failed;
    }
    return Outcome::Watching;
}

void SessionWatch::directoryGone()
{
    // The kernel has dropped the watch itself.
    directoryWatch = -1;
    changed = true;
}

void SessionWatch::launcherEnded()
{
    // Readable for good from now on: it has told what it can.
    if (launcher >= 0) {
        ::epoll_ctl(readiness, EPOLL_CTL_DEL, launcher, nullptr);
        ::close(launcher);
        launcher = -1;
    }
    changed = true;
}

void SessionWatch::stop()
{
    if (directoryWatch >= 0) {
        files.unwatch(directoryWatch);
        directoryWatch = -1;
    }
    if (launcher >= 0) {
        // Taken out first: epoll forgets a descriptor by itself only once its last duplicate is closed.
        ::epoll_ctl(readiness, EPOLL_CTL_DEL, launcher, nullptr);
        ::close(launcher);
        launcher = -1;
    }
}

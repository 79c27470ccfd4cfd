#pragma once

#include <QString>

class AgentFileEvents;
class SessionRuntime;

// One session's part in the upkeep's watching (see SessionWatcher): a watch on its directory for the
// agent's log, and a pidfd of its launcher in the watcher's readiness set (epoll), readable once the
// launcher has ended. While both are in place the session needs a look only when one of them fires;
// without them it is looked at on every update, as before there were watches.
class SessionWatch
{
public:
    enum class Outcome { Watching, LauncherGone, Failed };

    // Follows the session of `runtime` (which the caller holds) from now on; nothing is watched yet.
    SessionWatch(const SessionRuntime &runtime, AgentFileEvents &files, int readiness);
    ~SessionWatch();
    SessionWatch(const SessionWatch &) = delete;
    SessionWatch &operator=(const SessionWatch &) = delete;

    // Puts the watches in place. Failed, with the reason in `error`, when the system has none to give
    // (no inotify, the watch limit, no pidfds); LauncherGone when there is no launcher left to follow.
    Outcome start(QString &error);
    bool isWatching() const { return directoryWatch >= 0 && launcher >= 0; }
    // Whether this watch was made for the session of `runtime`, not for one that had its id before.
    bool follows(const SessionRuntime &runtime) const;
    int directory() const { return directoryWatch; }

    // The directory's watch ended (the directory went away): from now on it is looked at every time.
    void directoryGone();
    // The launcher's pidfd fired: it has ended.
    void launcherEnded();

    // Set by the events, taken by the look.
    bool changed = false;
    // When the safety net looks at it next, on the watcher's clock (ms).
    qint64 nextFullLook = 0;

private:
    void stop();

    const SessionRuntime *runtime;
    QString path;
    qint32 launcherPid;
    AgentFileEvents &files;
    int readiness;
    int directoryWatch = -1;
    int launcher = -1;
};

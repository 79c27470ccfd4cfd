#pragma once

#include "server/session/agent_file_events.h"

#include <QString>

// Wakes a thread that waits for a session's agent as soon as the agent shows a change: its log in the
// session directory is written, or its launcher process ends (with all its threads, so that its
// sockets are closed by then). Without such a change a wait lasts its full time, so the caller's steady looks stay
// the fallback: what the watch cannot see (the information socket, a kernel without inotify or
// pidfds, no inotify instance left) is noticed at the next look, never missed.
//
// One object per wait, used on the waiting thread only. It holds a pidfd of the launcher, and watches
// in its thread's inotify instance, which stays open between waits: closing an instance makes the
// kernel retire its watches first (a grace period, up to half a millisecond on a busy host), which
// would otherwise fall on every start and every answer. Removing a watch costs little.
class AgentWatch
{
public:
    AgentWatch(const QString &sessionPath, qint32 launcherPid);
    ~AgentWatch();
    AgentWatch(const AgentWatch &) = delete;
    AgentWatch &operator=(const AgentWatch &) = delete;

    // Blocks for up to `milliseconds`, less once a change has come since the previous call (or since
    // the watch was made). Signals do not shorten the wait. False, with the system's error text, only
    // when waiting itself fails.
    bool waitForChange(int milliseconds, QString &error);

private:
    // Reads the pending file events; true when one of them may concern the agent.
    bool takeFileChanges();
    static void closeDescriptor(int &descriptor);

    AgentFileEvents *fileChanges = nullptr; // the thread's instance
    int directoryWatch = -1;                 // the session directory's watch in it, when it could
    bool watching = false;
    int launcher = -1; // pidfd of the launcher, readable once it has ended
};

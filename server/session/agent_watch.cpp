#include "server/session/agent_watch.h"

#include "server/session/pidfd.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {
// Made again when the last one broke, or could not be had: the limit of instances may have eased.
AgentFileEvents *threadFileEvents()
{
    thread_local std::unique_ptr<AgentFileEvents> events;
    if (!events || !events->isOpen()) {
        events = std::make_unique<AgentFileEvents>();
    }
    return events.get();
}
}

AgentWatch::AgentWatch(const QString &sessionPath, qint32 launcherPid)
    : fileChanges(threadFileEvents())
{
    QString ignored;
    directoryWatch = fileChanges->watch(sessionPath, ignored);
    watching = directoryWatch >= 0;
    // Fails for a launcher that has already gone: the caller's next look finds that out anyway.
    if (launcherPid > 0) {
        launcher = pidfdOpen(launcherPid);
    }
}

AgentWatch::~AgentWatch()
{
    // Events of this wait still queued are passed over by the next: their watch is unknown then.
    fileChanges->unwatch(directoryWatch);
    closeDescriptor(launcher);
}

void AgentWatch::closeDescriptor(int &descriptor)
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

bool AgentWatch::waitForChange(int milliseconds, QString &error)
{
    const QDeadlineTimer deadline(qMax(0, milliseconds));
    for (;;) {
        pollfd watched[2];
        nfds_t count = 0;
        const int files = watching ? fileChanges->descriptor() : -1;
        for (int descriptor : {files, launcher}) {
            if (descriptor >= 0) {
                watched[count++] = {descriptor, POLLIN, 0};
            }
        }
        // Without descriptors this is a plain sleep.
        const int ready = ::poll(watched, count, int(deadline.remainingTime()));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = qt_error_string(errno);
            return false;
        }
        if (ready == 0) {
            return true;
        }
        bool changed = false;
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (watched[i].fd == launcher) {
                // It stays readable from now on: once is enough.
                closeDescriptor(launcher);
                changed = true;
            } else if (takeFileChanges()) {
                changed = true;
            }
        }
        if (changed) {
            return true;
        }
    }
}

bool AgentWatch::takeFileChanges()
{
    bool agentChanged = false;
    switch (fileChanges->take([&agentChanged](int, bool) { agentChanged = true; })) {
    case AgentFileEvents::Take::Done:
        return agentChanged;
    case AgentFileEvents::Take::Broken:
        // The instance is of no further use; the steady looks carry on without it.
        watching = false;
        return true;
    case AgentFileEvents::Take::More:
    case AgentFileEvents::Take::Lost:
        // Worth another look either way.
        return true;
    }
    return true;
}

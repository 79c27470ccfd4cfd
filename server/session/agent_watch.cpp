#include "server/session/agent_watch.h"

#include "server/session/agent_contract.h"
#include "server/session/pidfd.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
// A file that is created, written, closed after writing or renamed into place; and the directory
// itself going away, which ends the watch.
constexpr uint32_t watchedEvents =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Events are read in rounds of this many bytes (dozens of events), a bounded number of rounds per
// wake-up: a directory written to without pause cannot keep the waiting thread reading.
constexpr size_t eventBufferSize = 4096;
constexpr int maximumReadRounds = 8;

// Only the log tells what the waits look for; the agent's other output in the directory wakes nobody.
// Its exit status in particular is left just before the launcher ends, while the launcher may still
// hold its sockets: the end of the launcher itself is the sign to wait for.
bool isFollowedFile(const char *name)
{
    return QLatin1String(name) == AgentContract::logFile;
}
}

AgentWatch::AgentWatch(const QString &sessionPath, qint32 launcherPid)
{
    fileChanges = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fileChanges >= 0
        && ::inotify_add_watch(fileChanges, QFile::encodeName(sessionPath).constData(), watchedEvents) < 0) {
        closeDescriptor(fileChanges);
    }
    // Fails for a launcher that has already gone: the caller's next look finds that out anyway.
    if (launcherPid > 0) {
        launcher = pidfdOpen(launcherPid);
    }
}

AgentWatch::~AgentWatch()
{
    closeDescriptor(fileChanges);
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
        for (int descriptor : {fileChanges, launcher}) {
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
    bool followedFileChanged = false;
    alignas(inotify_event) char buffer[eventBufferSize];
    for (int round = 0; round < maximumReadRounds; ++round) {
        const ssize_t length = ::read(fileChanges, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 && errno == EAGAIN) {
            return followedFileChanged;
        }
        if (length <= 0) {
            // The instance is of no further use; the steady looks carry on without it.
            closeDescriptor(fileChanges);
            return true;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            // An event without a name concerns the directory itself (gone, moved, the watch dropped)
            // or says that events were lost: worth another look either way.
            if (event->len == 0 || isFollowedFile(event->name)) {
                followedFileChanged = true;
            }
            offset += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return true;
}

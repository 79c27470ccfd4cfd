#include "server/session/agent_file_events.h"

#include "server/session/agent_contract.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
// Entries that appear in the directory (the log created, or renamed into place), and the directory
// itself going away, which ends the watch. What is written to the files inside is not seen here.
constexpr uint32_t directoryEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t logEvents = IN_MODIFY;

// Events are read in rounds of this many bytes (dozens of events), a bounded number of rounds per
// call: a log written to without pause cannot keep the reader busy.
constexpr size_t eventBufferSize = 4096;
constexpr int maximumReadRounds = 8;

QString reasonFor(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("the inotify watch limit of the user is reached");
    case EMFILE:
        return QStringLiteral("no inotify instance or file descriptor is left");
    default:
        return qt_error_string(error);
    }
}
}

AgentFileEvents::AgentFileEvents()
{
    instance = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (instance < 0) {
        failure = reasonFor(errno);
    }
}

AgentFileEvents::~AgentFileEvents()
{
    close();
}

void AgentFileEvents::close()
{
    if (instance >= 0) {
        ::close(instance);
        instance = -1;
    }
    directories.clear();
    logs.clear();
}

int AgentFileEvents::watch(const QString &directory, QString &error)
{
    if (instance < 0) {
        error = failure;
        return -1;
    }
    const int added = ::inotify_add_watch(instance, QFile::encodeName(directory).constData(), directoryEvents);
    if (added < 0) {
        error = reasonFor(errno);
        return -1;
    }
    Directory &watched = directories[added];
    watched.path = directory;
    // After the directory's watch, so that a log that appears in between is seen either way.
    if (!watchLog(added, watched, error)) {
        unwatch(added);
        return -1;
    }
    return added;
}

bool AgentFileEvents::watchLog(int watch, Directory &directory, QString &error)
{
    forgetLog(directory);
    const QByteArray log = QFile::encodeName(QDir(directory.path).filePath(AgentContract::logFile));
    const int added = ::inotify_add_watch(instance, log.constData(), logEvents);
    if (added < 0) {
        // Not there yet: its creation in the directory is seen.
        if (errno == ENOENT) {
            return true;
        }
        error = reasonFor(errno);
        return false;
    }
    directory.log = added;
    logs.insert(added, watch);
    return true;
}

void AgentFileEvents::forgetLog(Directory &directory)
{
    if (directory.log >= 0) {
        logs.remove(directory.log);
        // A log that was replaced or removed has lost its watch already.
        ::inotify_rm_watch(instance, directory.log);
        directory.log = -1;
    }
}

void AgentFileEvents::unwatch(int watch)
{
    const auto found = directories.find(watch);
    if (instance < 0 || found == directories.end()) {
        return;
    }
    forgetLog(*found);
    directories.erase(found);
    // A watch whose directory went away is already gone: the failure then says nothing new.
    ::inotify_rm_watch(instance, watch);
}

AgentFileEvents::Take AgentFileEvents::take(const Changed &changed)
{
    if (instance < 0) {
        return Take::Broken;
    }
    Take result = Take::Done;
    alignas(inotify_event) char buffer[eventBufferSize];
    for (int round = 0; round < maximumReadRounds; ++round) {
        const ssize_t length = ::read(instance, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 && errno == EAGAIN) {
            return result;
        }
        if (length <= 0) {
            failure = length < 0 ? reasonFor(errno) : QStringLiteral("the inotify instance could not be read");
            close();
            return Take::Broken;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            offset += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                result = Take::Lost;
                continue;
            }
            if (const auto log = logs.constFind(event->wd); log != logs.constEnd()) {
                const int directory = *log;
                if (event->mask & IN_IGNORED) {
                    // The log was removed or replaced: its successor is watched when it appears.
                    logs.remove(event->wd);
                    directories[directory].log = -1;
                }
                changed(directory, false);
                continue;
            }
            const auto found = directories.find(event->wd);
            if (found == directories.end()) {
                continue; // a watch let go of a moment ago
            }
            if (event->len == 0) {
                // The directory itself: gone, moved, or its watch dropped.
                const bool ended = (event->mask & IN_IGNORED) != 0;
                if (ended) {
                    forgetLog(*found);
                    directories.erase(found);
                }
                changed(event->wd, ended);
            } else if (QLatin1String(event->name) == AgentContract::logFile) {
                QString error;
                if (watchLog(event->wd, *found, error)) {
                    changed(event->wd, false);
                } else {
                    // Half a watch would miss the log's lines: none at all makes its owner look.
                    const int directory = event->wd;
                    unwatch(directory);
                    changed(directory, true);
                }
            }
        }
    }
    return result == Take::Done ? Take::More : result;
}

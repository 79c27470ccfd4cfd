#include "server/manager/session_watcher.h"

#include "common/logging.h"
#include "server/manager/session_watch.h"
#include "server/session/session_runtime.h"

#include <QSet>

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace {
// How many ready descriptors one epoll_wait hands over; more simply take another call.
constexpr int readyBatch = 64;
}

SessionWatcher::SessionWatcher(int updateIntervalMs, int fullLookMs)
    : fullLookMs(fullLookMs)
    , spreadSlots(qMax(1, fullLookMs / qMax(1, updateIntervalMs)))
{
    clock.start();
    readiness = ::epoll_create1(EPOLL_CLOEXEC);
    if (readiness >= 0 && files.isOpen()) {
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.ptr = nullptr; // the file events; the launchers carry their watch
        if (::epoll_ctl(readiness, EPOLL_CTL_ADD, files.descriptor(), &event) != 0) {
            ::close(readiness);
            readiness = -1;
        }
    }
}

SessionWatcher::~SessionWatcher()
{
    // The watches take themselves out of the set and the instance, which must still be there.
    byDirectory.clear();
    watches.clear();
    if (readiness >= 0) {
        ::close(readiness);
    }
}

void SessionWatcher::collectChanges()
{
    asked = 0;
    // Nothing watched, nothing to ask the kernel.
    if (readiness < 0 || watches.empty()) {
        return;
    }
    epoll_event ready[readyBatch];
    for (;;) {
        const int count = ::epoll_wait(readiness, ready, readyBatch, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.ptr == nullptr) {
                takeFileChanges();
            } else {
                static_cast<SessionWatch *>(ready[i].data.ptr)->launcherEnded();
            }
        }
        if (count < readyBatch) {
            return;
        }
    }
}

void SessionWatcher::takeFileChanges()
{
    const auto changed = [this](int directory, bool watchEnded) {
        SessionWatch *watch = byDirectory.value(directory);
        if (!watch) {
            return; // a watch let go of a moment ago
        }
        if (watchEnded) {
            byDirectory.remove(directory);
            watch->directoryGone();
        } else {
            watch->changed = true;
        }
    };
    switch (files.take(changed)) {
    case AgentFileEvents::Take::Done:
    case AgentFileEvents::Take::More:
        break;
    case AgentFileEvents::Take::Lost:
        markAllChanged();
        break;
    case AgentFileEvents::Take::Broken:
        // Without the instance no directory is watched: every session is looked at every time.
        byDirectory.clear();
        for (auto &entry : watches) {
            entry.second->directoryGone();
        }
        break;
    }
}

void SessionWatcher::markAllChanged()
{
    for (auto &entry : watches) {
        entry.second->changed = true;
    }
}

bool SessionWatcher::needsLook(const QString &id, const SessionRuntime &runtime)
{
    ++asked;
    const qint64 now = clock.elapsed();
    auto found = watches.find(id);
    if (found != watches.end() && !found->second->follows(runtime)) {
        // Another session under the same id: its predecessor's watch goes first, so that the
        // directory's watch, which inotify shares by path, is made anew.
        forget(*found->second);
        watches.erase(found);
        found = watches.end();
    }
    if (found == watches.end()) {
        auto watch = std::make_unique<SessionWatch>(runtime, files, readiness);
        // Spread over the updates of one period, so that the safety net's looks never come at once.
        watch->nextFullLook = now + qint64(fullLookMs) * qint64(1 + registrations++ % quint64(spreadSlots)) / spreadSlots;
        startWatching(*watch, runtime.path());
        watches.emplace(id, std::move(watch));
        return true;
    }
    SessionWatch &watch = *found->second;
    const bool fullLookDue = now >= watch.nextFullLook;
    if (!watch.isWatching()) {
        if (fullLookDue) {
            watch.nextFullLook = now + fullLookMs;
            startWatching(watch, runtime.path());
        }
        return true;
    }
    if (!watch.changed && !fullLookDue) {
        return false;
    }
    watch.changed = false;
    watch.nextFullLook = now + fullLookMs;
    return true;
}

void SessionWatcher::startWatching(SessionWatch &watch, const QString &path)
{
    forget(watch);
    QString error;
    if (watch.start(error) == SessionWatch::Outcome::Failed && !warned) {
        warned = true;
        logMessage(Logging::Warning, QStringLiteral("Failed to watch the session in \"%1\" for changes: %2. Sessions "
                                                    "that cannot be watched are looked at on every update")
                                         .arg(path, error));
    }
    if (watch.directory() >= 0) {
        byDirectory.insert(watch.directory(), &watch);
    }
}

void SessionWatcher::forget(SessionWatch &watch)
{
    if (watch.directory() >= 0) {
        byDirectory.remove(watch.directory());
    }
}

void SessionWatcher::keepOnly(const QStringList &ids)
{
    const QSet<QString> stored(ids.cbegin(), ids.cend());
    for (auto entry = watches.begin(); entry != watches.end();) {
        if (stored.contains(entry->first)) {
            ++entry;
        } else {
            forget(*entry->second);
            entry = watches.erase(entry);
        }
    }
}

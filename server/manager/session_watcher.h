#pragma once

#include "server/session/agent_file_events.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <unordered_map>

class SessionRuntime;
class SessionWatch;

// Tells the upkeep which sessions it has to look at: those whose agent wrote its log or whose
// launcher ended since the last update (inotify and pidfds, see SessionWatch), and each session once
// every `fullLookMs` anyway, as a safety net for what the events cannot show. A session that cannot
// be watched (no inotify or pidfds, the user's inotify watch limit reached) is looked at on every
// update, as before; the first such failure is logged once, at Warning, and the watch is tried again
// at each of its full looks.
//
// Nothing has to tell it of a new session: whatever put a session in the store (a start, the load at
// start-up, a recovery, a session directory found later) the first update that lists it watches it,
// and a session gone from the store is let go of (keepOnly).
//
// Costs of an idle update: one epoll_wait, whatever the number of sessions. The safety net's looks
// are spread over the updates, so that they never come all at once.
//
// Used on the upkeep thread only.
class SessionWatcher
{
public:
    static constexpr int defaultFullLookMs = 10000;

    explicit SessionWatcher(int updateIntervalMs, int fullLookMs = defaultFullLookMs);
    ~SessionWatcher();
    SessionWatcher(const SessionWatcher &) = delete;
    SessionWatcher &operator=(const SessionWatcher &) = delete;

    // Takes the events that came since the previous call; at the start of each update.
    void collectChanges();
    // Whether the update must look at this session now. The caller holds it. A session seen for the
    // first time is watched from now on, before its first look, so that nothing after that look is
    // missed.
    bool needsLook(const QString &id, const SessionRuntime &runtime);
    // Whether some watch was not asked about since the last collectChanges: its session may have left
    // the store (or a request held it meanwhile).
    bool hasUnaskedWatches() const { return asked < watches.size(); }
    // Lets go of the watches of sessions that are no longer stored.
    void keepOnly(const QStringList &ids);

private:
    void startWatching(SessionWatch &watch, const QString &path);
    void forget(SessionWatch &watch);
    void takeFileChanges();
    void markAllChanged();

    const int fullLookMs;
    const int spreadSlots;
    AgentFileEvents files;
    int readiness = -1; // epoll: the file events and every launcher's pidfd
    std::unordered_map<QString, std::unique_ptr<SessionWatch>> watches;
    QHash<int, SessionWatch *> byDirectory;
    QElapsedTimer clock;
    quint64 registrations = 0;
    size_t asked = 0; // watches asked about since the last collectChanges
    bool warned = false;
};

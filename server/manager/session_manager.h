#pragma once

#include "common/session_record.h"
#include "server/manager/peer_table.h"
#include "server/manager/session_access.h"
#include "server/manager/session_hold.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>

class SessionRuntime;

// The server's one store of its own sessions, and the owner of what its peers reported. At most one
// thread works on a session at a time (it holds the session, see SessionHold); different sessions
// proceed in parallel, and the lock guards only the containers, never a session's slow work.
//
// The session operations and the lists wait for a held session. The upkeep (updateSessions and
// checkSuspendTimeouts) never does: it passes a held session over, and leaves it to the requests
// when they are waiting for it.
class SessionManager
{
public:
    // Loads the sessions found in the sessions directory. What the previous server left half-made is
    // completed or ended meanwhile, on threads of the store's own.
    SessionManager(const QString &sessionsDirectory, quint16 firstDisplay, quint16 displayEnd, const QString &location);
    // Forgets the sessions without stopping them: their agents keep running for the next server. A
    // recovery in progress is left to the next server as well.
    ~SessionManager();

    SessionManager(const SessionManager &) = delete;
    SessionManager &operator=(const SessionManager &) = delete;

    // The access of a start holds the geometry asked for, not the one the agent reports.
    SessionAccess start(const QString &id, const QString &command, const QString &geometry);
    SessionAccess resume(const QString &id);
    SessionAccess replay(const QString &id);
    int suspend(const QString &id);
    int terminate(const QString &id);
    // Signals the sessions that have been without a viewer for that long; held sessions wait for
    // the next check.
    void checkSuspendTimeouts(int minutes);

    // Refreshes every session, clears away the ones that ended and the peers' lists that expired,
    // and lists what is left after the peers' sessions. A session that is held meanwhile keeps the
    // record this gave it last time (one that never had one is left out until it is free).
    SessionRecordList updateSessions();
    // The sessions as they are, after the peers' ones; they wait for a held session, and leave out
    // one that ended meanwhile. They always succeed (0).
    int listSessions(SessionRecordList &list);
    int listLocalSessions(SessionRecordList &list);

    // What the peers reported: discovery fills it, the lists and updates read it.
    PeerTable &peers() { return peerTable; }

    static SessionRecord makeRecord(const QString &id, const QString &location, const SessionRuntime &runtime);
    static bool removeSessionDirectory(const QString &path, QString &message);

private:
    friend class SessionHold; // gives back, stores and removes what it holds

    // Waits until the session is free, then holds it when it is in the state the operation needs
    // (any state for a null check).
    SessionHold acquire(const QString &id, bool (*inState)(const SessionRuntime &) = nullptr);
    // Holds the session only when nobody holds it or is waiting for it; never waits.
    SessionHold tryAcquire(const QString &id);
    void release(const QString &id);
    void add(const QString &id, SessionRuntime *runtime);
    void remove(const QString &id);
    // Takes a held session out of the store and keeps its id held, as for a start that begins anew.
    void withdraw(const QString &id);
    QStringList ids();

    // Signals the held agent and waits for its reaction.
    int signalAndWait(const SessionHold &hold, int signal, int (SessionRuntime::*wait)(int));
    // Holds a new id for a start, refusing one that is malformed, held or already stored.
    SessionHold reserveNewId(const QString &id);
    // Finds a display, launches the agent there and stores the session under the held id.
    int launchAgent(SessionHold &hold, const QString &directory, const QString &geometry, const QString &command);
    // A display is taken while a stored session uses it or a start in progress has claimed it: the
    // machine shows it as free until that session's agent is up.
    bool claimDisplay(quint16 display);
    void unclaimDisplay(quint16 display);
    // Removes an ended session, and its directory when the agent ended cleanly.
    void discardEnded(const QString &id, SessionRuntime *runtime);
    static SessionAccess accessTo(const SessionRuntime &runtime);
    // One line at Info for each viewer that came or went since the previous list.
    static void logViewerChanges(const QString &id, const SessionRecord &before, const SessionRecord &now);
    void loadSessions();
    // Stores the session of the directory, or returns null.
    SessionRuntime *loadSession(const QString &id, const QString &directory);
    // What the previous server left half-made (see SessionRecovery). The first two run on the
    // recovery threads: a completion holds its session meanwhile; an ending keeps the display that
    // the directory records claimed (as claimRecordedDisplay returned it, -1 for none).
    void completeStart(const QString &id, SessionRuntime *runtime);
    void endHalfMade(const QString &directory, int claimedDisplay);
    int claimRecordedDisplay(const QString &directory);
    void removeHalfMade(const QString &directory);
    void collectLocal(SessionRecordList &list);

    const QString sessionsDirectory;
    const quint16 firstDisplay;
    const quint16 displayEnd;
    const QString location;
    PeerTable peerTable;
    QMap<QString, SessionRuntime *> sessions;
    QMutex lock;
    QWaitCondition releasedCondition;
    QSet<QString> busy;
    QHash<QString, int> waiting; // threads waiting in acquire, by id
    QSet<quint16> claimedDisplays;
    QMutex updateLock;                     // one update at a time, for lastListed
    QMap<QString, SessionRecord> lastListed; // what the last update listed of each local session
    std::atomic_bool stopping{false};      // tells the recovery to leave what is left to the next server
    QThreadPool recoveryThreads;           // complete or end what the previous server left half-made
};

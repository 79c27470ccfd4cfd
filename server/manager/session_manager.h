#pragma once

#include "common/session_record.h"
#include "server/manager/peer_table.h"
#include "server/manager/session_access.h"
#include "server/manager/session_hold.h"
#include "server/manager/session_recovery.h"
#include "server/session/display_search.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>
#include <QWaitCondition>

#include <atomic>
#include <functional>

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

    // Whether an update has to refresh a session (which the update holds), or may list it as it is.
    using LookFilter = std::function<bool(const QString &id, const SessionRuntime &runtime)>;

    // Refreshes every session (those `needsLook` asks for, when given), clears away the ones that
    // ended and the peers' lists that expired, and lists what is left after the peers' sessions. A
    // session that is held meanwhile keeps the record this gave it last time (one that never had one
    // is left out until it is free). Sessions that lumen-job made meanwhile are taken up first (see
    // adoptNew). `unchanged`, when given, tells whether the list is the one the previous call gave.
    SessionRecordList updateSessions(const LookFilter &needsLook = {}, bool *unchanged = nullptr);
    // The sessions as they are, after the peers' ones; they wait for a held session, and leave out
    // one that ended meanwhile. They always succeed (0).
    int listSessions(SessionRecordList &list);
    int listLocalSessions(SessionRecordList &list);

    // The ids of the stored sessions, held or not.
    QStringList ids();

    // What the peers reported: discovery fills it, the lists and updates read it.
    PeerTable &peers() { return peerTable; }

    static SessionRecord makeRecord(const QString &id, const QUrl &location, const SessionRuntime &runtime);
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

    // Signals the held agent and waits for its reaction.
    int signalAndWait(const SessionHold &hold, int signal, int (SessionRuntime::*wait)(int));
    // Holds a new id for a start, refusing one that is malformed, held or already stored.
    SessionHold reserveNewId(const QString &id);
    // Launches the agent on a display the claim accepts and stores the session under the held id;
    // returns the stored runtime, or null with `code` set.
    SessionRuntime *launchAgent(SessionHold &hold, const QString &directory, const QString &geometry,
                                const QString &command, const DisplayClaim &claim, int &code);
    // A display is taken while a stored session uses it or the ending of a half-made session has
    // claimed it. Starts in progress, this server's and batch jobs', hold display leases instead.
    bool isDisplayAvailable(quint16 display);
    void unclaimDisplay(quint16 display);
    // Removes an ended session, and its directory when the agent ended cleanly.
    void discardEnded(const QString &id, SessionRuntime *runtime);
    static SessionAccess accessTo(const SessionRuntime &runtime);
    // One line at Info for each viewer that came or went since the previous list.
    static void logViewerChanges(const QString &id, const SessionRecord &before, const SessionRecord &now);
    void loadSessions();
    // What the store does with a session directory it did not know, at its start and for a session
    // that a batch job made while the server runs (one function, so the two cannot drift). Recoveries
    // to run on the recovery threads are appended.
    void takeUp(const QString &id, const QString &directory, SessionRecovery::Plan plan,
                QList<std::function<void()>> &recoveries);
    void startRecoveries(const QList<std::function<void()>> &recoveries);
    // New directories that a killed start never renamed into place (see SessionRuntime::startAgent).
    void removeUnfinishedDirectories();
    // Takes up the sessions that batch jobs made since the last look: a complete one is stored, a
    // half-made one whose lumen-job is gone is ended. Runs with each update; cheap when nothing changed.
    void adoptNew();
    void adoptComplete(const QString &id, const QString &directory);
    bool sessionsFolderChanged();
    // Stored, held, being ended, or passed over before.
    bool isKnown(const QString &id, const QString &directory);
    // Stores the session of the directory (held when asked), or returns null.
    SessionRuntime *loadSession(const QString &id, const QString &directory, bool held = false);
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
    const QUrl location;
    const QString leaseFolder; // the display leases, "displays" beside the sessions folder
    PeerTable peerTable;
    QMap<QString, SessionRuntime *> sessions;
    QMutex lock;
    QWaitCondition releasedCondition;
    QSet<QString> busy;
    QHash<QString, int> waiting; // threads waiting in acquire, by id
    QSet<quint16> claimedDisplays;
    QMutex updateLock;                     // one update at a time, for lastListed
    // What the last update listed of each local session, and the runtime's revision it was made from.
    struct Listed {
        SessionRecord record;
        quint64 revision = 0;
    };
    QHash<QString, Listed> lastListed;
    SessionRecordList lastPeerRecords;     // the peers' part of the last update's list
    QSet<QString> recovering;              // directories whose half-made session is being ended
    QSet<QString> passedOver;              // ids of directories left alone: ended, unreadable
    QSet<QString> pendingIds;              // half-made by a lumen-job that still runs, at the last look
    qint64 lastSeenModified = -2;          // of the sessions folder (ns), at the last look
    QElapsedTimer lastFullLook;
    std::atomic_bool stopping{false};      // tells the recovery to leave what is left to the next server
    QThreadPool recoveryThreads;           // complete or end what the previous server left half-made
};

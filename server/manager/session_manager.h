#pragma once

#include "common/session_record.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

class SessionRuntime;

// The server's one store of its own sessions and of the lists its peers reported. At most one
// thread works on a session at a time (it "holds" the session); different sessions proceed in
// parallel, and the lock guards only the containers, never a session's slow work.
//
// The session operations and the lists wait for a held session. The upkeep (updateSessions and
// checkSuspendTimeouts) never does: it passes a held session over, and leaves it to the requests
// when they are waiting for it.
class SessionManager
{
public:
    // Loads the sessions found in the sessions directory.
    SessionManager(const QString &sessionsDirectory, quint16 firstDisplay, quint16 displayEnd, const QString &location);
    // Forgets the sessions without stopping them: their agents keep running for the next server.
    ~SessionManager();

    SessionManager(const SessionManager &) = delete;
    SessionManager &operator=(const SessionManager &) = delete;

    int start(const QString &id, const QString &command, const QString &geometry, QString &password, quint16 &port);
    int resume(const QString &id, QString &windowMode, QString &geometry, QString &password, quint16 &port);
    int replay(const QString &id, QString &windowMode, QString &geometry, QString &password, quint16 &port);
    int suspend(const QString &id);
    int terminate(const QString &id);
    // Signals the sessions that have been without a viewer for that long; held sessions wait for
    // the next check.
    void checkSuspendTimeouts(int minutes);

    // Refreshes every session, clears away the ones that ended, and lists what is left after the
    // peers' sessions. A session that is held meanwhile keeps the record this gave it last time
    // (one that never had one is left out until it is free).
    SessionRecordList updateSessions();
    int listSessions(SessionRecordList &list);
    int listLocalSessions(SessionRecordList &list);

    void setPeer(const QString &key, const QDateTime &expiry, const SessionRecordList &sessions);
    void removePeer(const QString &key);
    void expirePeers();
    SessionRecordList peerRecords();

    static SessionRecord makeRecord(const QString &id, const QString &location, const SessionRuntime &runtime);
    static bool removeSessionDirectory(const QString &path, QString &message);

private:
    // What tryAcquire found.
    enum class Hold { Taken, Held, Gone };

    bool isBusy(const QString &id);
    int acquire(const QString &id, SessionRuntime *&runtime);
    // Holds the session only when nobody holds it or is waiting for it; never waits.
    Hold tryAcquire(const QString &id, SessionRuntime *&runtime);
    void release(const QString &id);
    void add(const QString &id, SessionRuntime *runtime);
    void remove(const QString &id);
    QStringList ids();

    // Holds the session when it is in the state the operation needs (any state for a null check).
    int acquireInState(const QString &id, SessionRuntime *&runtime, bool (*inState)(const SessionRuntime &));
    // Signals the held agent and waits for its reaction; on failure the session is given back.
    int signalAndWait(const QString &id, SessionRuntime *runtime, int signal, int (SessionRuntime::*wait)(int));
    // Holds a new id for a start, refusing one that is malformed, held or already stored.
    bool reserveNewId(const QString &id);
    // A display is taken while a stored session uses it or a start in progress has claimed it: the
    // machine shows it as free until that session's agent is up.
    bool claimDisplay(quint16 display);
    void unclaimDisplay(quint16 display);
    // After a failed step: a session whose state is unknown leaves the store, any other stays.
    int dispose(const QString &id, SessionRuntime *runtime, int code);
    // Removes an ended session, and its directory when the agent ended cleanly.
    void discardEnded(const QString &id, SessionRuntime *runtime);
    void handOut(const SessionRuntime &runtime, QString &windowMode, QString &geometry, QString &password,
                 quint16 &port) const;
    void loadSessions();
    int collectLocal(SessionRecordList &list);

    const QString sessionsDirectory;
    const quint16 firstDisplay;
    const quint16 displayEnd;
    const QString location;
    QMap<QString, SessionRuntime *> sessions;
    QMap<QString, QDateTime> peerExpiry;
    QMap<QString, SessionRecordList> peerSessions;
    QMutex lock;
    QWaitCondition releasedCondition;
    QSet<QString> busy;
    QHash<QString, int> waiting; // threads waiting in acquire, by id
    QSet<quint16> claimedDisplays;
    QMutex updateLock;                     // one update at a time, for lastListed
    QMap<QString, SessionRecord> lastListed; // what the last update listed of each local session
};

#include "server/manager/session_manager.h"

#include "common/logging.h"
#include "server/process/idle_exit.h"
#include "server/session/error_code.h"
#include "server/session/session_id.h"
#include "server/session/session_runtime.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace {
constexpr int agentWaitMs = 15000;
constexpr quint16 viewerPortBase = 41000;

bool isWaiting(const SessionRuntime &runtime)
{
    return runtime.clients() == 0 && runtime.passwords().isEmpty();
}

bool isOffered(const SessionRuntime &runtime)
{
    return runtime.clients() == 0 && !runtime.passwords().isEmpty();
}

bool isConnected(const SessionRuntime &runtime)
{
    return runtime.clients() != 0;
}

quint16 viewerPort(const SessionRuntime &runtime)
{
    return quint16(runtime.display() + viewerPortBase);
}
}

SessionManager::SessionManager(const QString &sessionsDirectory, quint16 firstDisplay, quint16 displayEnd,
                               const QString &location)
    : sessionsDirectory(sessionsDirectory)
    , firstDisplay(firstDisplay)
    , displayEnd(displayEnd)
    , location(location)
{
    loadSessions();
}

SessionManager::~SessionManager()
{
    for (SessionRuntime *runtime : std::as_const(sessions)) {
        delete runtime;
        idleExitSessionRemoved();
    }
}

void SessionManager::loadSessions()
{
    const QFileInfoList entries = QDir(sessionsDirectory).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString id = sessionIdFromDirectory(entry.filePath());
        if (id.isNull()) {
            continue;
        }
        auto *runtime = new SessionRuntime;
        if (runtime->load(entry.filePath()) != 0 || runtime->refresh() != 0) {
            delete runtime;
            continue;
        }
        // An agent that has already ended stays until the first update clears it away.
        sessions.insert(id, runtime);
        idleExitSessionAdded();
    }
}

// --- primitives ---

bool SessionManager::isBusy(const QString &id)
{
    QMutexLocker locker(&lock);
    return busy.contains(id);
}

int SessionManager::acquire(const QString &id, SessionRuntime *&runtime)
{
    QMutexLocker locker(&lock);
    if (busy.contains(id)) {
        // Counted, so that the upkeep lets this thread have the session when it is released.
        ++waiting[id];
        do {
            releasedCondition.wait(&lock);
        } while (busy.contains(id));
        if (--waiting[id] == 0) {
            waiting.remove(id);
        }
    }
    SessionRuntime *found = sessions.value(id);
    if (!found) {
        return NoSuchSession;
    }
    busy.insert(id);
    runtime = found;
    return 0;
}

SessionManager::Hold SessionManager::tryAcquire(const QString &id, SessionRuntime *&runtime)
{
    QMutexLocker locker(&lock);
    if (busy.contains(id) || waiting.contains(id)) {
        return Hold::Held;
    }
    SessionRuntime *found = sessions.value(id);
    if (!found) {
        return Hold::Gone;
    }
    busy.insert(id);
    runtime = found;
    return Hold::Taken;
}

void SessionManager::release(const QString &id)
{
    QMutexLocker locker(&lock);
    if (busy.remove(id)) {
        releasedCondition.wakeAll();
    }
}

void SessionManager::add(const QString &id, SessionRuntime *runtime)
{
    QMutexLocker locker(&lock);
    sessions.insert(id, runtime);
    idleExitSessionAdded();
    busy.insert(id);
}

void SessionManager::remove(const QString &id)
{
    QMutexLocker locker(&lock);
    sessions.remove(id);
    idleExitSessionRemoved();
    if (busy.remove(id)) {
        releasedCondition.wakeAll();
    }
}

QStringList SessionManager::ids()
{
    QMutexLocker locker(&lock);
    return sessions.keys();
}

bool SessionManager::reserveNewId(const QString &id)
{
    QMutexLocker locker(&lock);
    // Two agents must never share one session directory: an id that is stored, or that another
    // start is still setting up, is refused like a malformed one.
    if (!isValidSessionId(id) || busy.contains(id) || sessions.contains(id)) {
        return false;
    }
    busy.insert(id);
    return true;
}

bool SessionManager::claimDisplay(quint16 display)
{
    QMutexLocker locker(&lock);
    if (claimedDisplays.contains(display)) {
        return false;
    }
    for (const SessionRuntime *runtime : std::as_const(sessions)) {
        if (runtime->display() == display) {
            return false;
        }
    }
    claimedDisplays.insert(display);
    return true;
}

void SessionManager::unclaimDisplay(quint16 display)
{
    QMutexLocker locker(&lock);
    claimedDisplays.remove(display);
}

int SessionManager::dispose(const QString &id, SessionRuntime *runtime, int code)
{
    if (runtime->failed()) {
        remove(id);
        delete runtime;
    } else {
        release(id);
    }
    return code;
}

void SessionManager::discardEnded(const QString &id, SessionRuntime *runtime)
{
    if (runtime->exitCode() == 0) {
        QString message;
        if (!removeSessionDirectory(runtime->path(), message)) {
            logMessage(Logging::Warning, message);
        }
    }
    remove(id);
    delete runtime;
}

void SessionManager::handOut(const SessionRuntime &runtime, QString &windowMode, QString &geometry,
                             QString &password, quint16 &port) const
{
    windowMode = runtime.windowMode();
    geometry = QStringLiteral("%1x%2").arg(runtime.screenSize().width()).arg(runtime.screenSize().height());
    password = runtime.passwords().last();
    port = viewerPort(runtime);
}

// --- operations ---

int SessionManager::start(const QString &id, const QString &command, const QString &geometry, QString &password,
                          quint16 &port)
{
    if (!reserveNewId(id)) {
        logMessage(Logging::Warning, QStringLiteral("Got a bad id"));
        return NoSuchSession;
    }

    auto *runtime = new SessionRuntime;
    int claimed = -1;
    const auto claim = [this, &claimed](quint16 display) {
        if (!claimDisplay(display)) {
            return false;
        }
        claimed = display;
        return true;
    };
    int code = runtime->startAgent(sessionDirectory(sessionsDirectory, id), firstDisplay, displayEnd, geometry,
                                   command, claim);
    if (code != 0) {
        if (claimed >= 0) {
            unclaimDisplay(quint16(claimed));
        }
        delete runtime;
        release(id);
        return code;
    }
    add(id, runtime);
    unclaimDisplay(runtime->display()); // from now on the stored session itself keeps it taken

    code = runtime->waitForStarted(agentWaitMs);
    if (code != 0) {
        return dispose(id, runtime, code);
    }
    code = runtime->startApplication(command);
    if (code == 0) {
        code = runtime->sendSignal(SIGUSR1);
    }
    if (code != 0) {
        release(id);
        return code;
    }
    code = runtime->waitForNewPassword(agentWaitMs);
    if (code != 0) {
        return dispose(id, runtime, code);
    }
    // A list that changed by losing its only entry has no password to hand out.
    if (runtime->passwords().isEmpty()) {
        release(id);
        return UnknownError;
    }
    password = runtime->passwords().last();
    port = viewerPort(*runtime);
    release(id);
    return 0;
}

int SessionManager::acquireInState(const QString &id, SessionRuntime *&runtime, bool (*inState)(const SessionRuntime &))
{
    const int code = acquire(id, runtime);
    if (code != 0) {
        return code;
    }
    if (inState && !inState(*runtime)) {
        release(id);
        return InvalidState;
    }
    return 0;
}

int SessionManager::signalAndWait(const QString &id, SessionRuntime *runtime, int signal,
                                  int (SessionRuntime::*wait)(int))
{
    int code = runtime->sendSignal(signal);
    if (code != 0) {
        release(id);
        return code;
    }
    code = (runtime->*wait)(agentWaitMs);
    if (code != 0) {
        return dispose(id, runtime, code);
    }
    return 0;
}

int SessionManager::resume(const QString &id, QString &windowMode, QString &geometry, QString &password, quint16 &port)
{
    SessionRuntime *runtime = nullptr;
    int code = acquireInState(id, runtime, isWaiting);
    if (code == 0) {
        code = signalAndWait(id, runtime, SIGUSR1, &SessionRuntime::waitForNewPassword);
    }
    if (code != 0) {
        return code;
    }
    handOut(*runtime, windowMode, geometry, password, port);
    release(id);
    return 0;
}

int SessionManager::replay(const QString &id, QString &windowMode, QString &geometry, QString &password, quint16 &port)
{
    SessionRuntime *runtime = nullptr;
    const int code = acquireInState(id, runtime, isOffered);
    if (code != 0) {
        return code;
    }
    handOut(*runtime, windowMode, geometry, password, port);
    release(id);
    return 0;
}

int SessionManager::suspend(const QString &id)
{
    SessionRuntime *runtime = nullptr;
    int code = acquireInState(id, runtime, isConnected);
    if (code == 0) {
        code = signalAndWait(id, runtime, SIGUSR2, &SessionRuntime::waitForDisconnect);
    }
    if (code != 0) {
        return code;
    }
    release(id);
    return 0;
}

int SessionManager::terminate(const QString &id)
{
    SessionRuntime *runtime = nullptr;
    int code = acquireInState(id, runtime, nullptr);
    if (code == 0) {
        code = signalAndWait(id, runtime, SIGTERM, &SessionRuntime::waitForExit);
    }
    if (code != 0) {
        return code;
    }
    discardEnded(id, runtime);
    return 0;
}

void SessionManager::checkSuspendTimeouts(int minutes)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &id : ids()) {
        SessionRuntime *runtime = nullptr;
        if (tryAcquire(id, runtime) != Hold::Taken) {
            continue;
        }
        // A session that has never had a viewer leave has nothing to time out from.
        const QDateTime left = runtime->lastDisconnect();
        if (runtime->clients() == 0 && left.isValid() && !(now < left.addSecs(qint64(minutes) * 60))) {
            runtime->sendSignal(SIGTERM);
        }
        release(id);
    }
}

bool SessionManager::removeSessionDirectory(const QString &path, QString &message)
{
    QDir directory(path);
    const QFileInfoList files = directory.entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files) {
        if (!QFile::remove(file.filePath())) {
            message = QStringLiteral("Failed to remove the file \"%1\"").arg(file.filePath());
            return false;
        }
    }
    if (!QDir().rmdir(path)) {
        message = QStringLiteral("Failed to remove the directory \"%1\"").arg(path);
        return false;
    }
    return true;
}

// --- lists ---

SessionRecord SessionManager::makeRecord(const QString &id, const QString &location, const SessionRuntime &runtime)
{
    SessionRecord record;
    record.setId(id);
    record.setLocation(QUrl(location));
    record.setWindowMode(runtime.windowMode());
    record.setName(runtime.name());
    record.setStarted(runtime.started());
    record.setLastConnect(runtime.lastConnect());
    record.setLastDisconnect(runtime.lastDisconnect());
    QStringList permissions;
    if (isWaiting(runtime)) {
        permissions << QStringLiteral("connect");
    } else if (isOffered(runtime)) {
        permissions << QStringLiteral("retry");
    } else {
        permissions << QStringLiteral("disconnect");
    }
    permissions << QStringLiteral("terminate");
    record.setPermissions(permissions);
    return record;
}

SessionRecordList SessionManager::updateSessions()
{
    QMutexLocker updating(&updateLock);
    expirePeers();
    SessionRecordList result = peerRecords();
    QMap<QString, SessionRecord> listed;
    for (const QString &id : ids()) {
        SessionRuntime *runtime = nullptr;
        switch (tryAcquire(id, runtime)) {
        case Hold::Gone:
            continue;
        case Hold::Held:
            // A request works on it (and may wait long for its agent): what it was will do for now.
            if (const auto last = lastListed.constFind(id); last != lastListed.constEnd()) {
                result << *last;
                listed.insert(id, *last);
            }
            continue;
        case Hold::Taken:
            break;
        }
        if (runtime->refresh() != 0) {
            // Its state is unknown: forget it but keep its directory for the next start to look at.
            remove(id);
            delete runtime;
        } else if (runtime->exited()) {
            discardEnded(id, runtime);
        } else {
            const SessionRecord record = makeRecord(id, location, *runtime);
            result << record;
            listed.insert(id, record);
            release(id);
        }
    }
    lastListed = listed;
    return result;
}

int SessionManager::collectLocal(SessionRecordList &list)
{
    for (const QString &id : ids()) {
        SessionRuntime *runtime = nullptr;
        const int code = acquire(id, runtime);
        if (code != 0) {
            return code;
        }
        list << makeRecord(id, location, *runtime);
        release(id);
    }
    return 0;
}

int SessionManager::listSessions(SessionRecordList &list)
{
    SessionRecordList result = peerRecords();
    const int code = collectLocal(result);
    if (code == 0) {
        list = result;
    }
    return code;
}

int SessionManager::listLocalSessions(SessionRecordList &list)
{
    SessionRecordList result;
    const int code = collectLocal(result);
    if (code == 0) {
        list = result;
    }
    return code;
}

// --- peers ---

void SessionManager::setPeer(const QString &key, const QDateTime &expiry, const SessionRecordList &records)
{
    QMutexLocker locker(&lock);
    peerExpiry.insert(key, expiry);
    peerSessions.insert(key, records);
}

void SessionManager::removePeer(const QString &key)
{
    QMutexLocker locker(&lock);
    peerExpiry.remove(key);
    peerSessions.remove(key);
}

void SessionManager::expirePeers()
{
    QMutexLocker locker(&lock);
    const QDateTime now = QDateTime::currentDateTime();
    for (auto entry = peerExpiry.begin(); entry != peerExpiry.end();) {
        if (entry.value() < now) {
            peerSessions.remove(entry.key());
            entry = peerExpiry.erase(entry);
        } else {
            ++entry;
        }
    }
}

SessionRecordList SessionManager::peerRecords()
{
    QMutexLocker locker(&lock);
    SessionRecordList records;
    for (const SessionRecordList &list : std::as_const(peerSessions)) {
        records << list;
    }
    return records;
}

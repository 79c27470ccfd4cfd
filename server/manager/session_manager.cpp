#include "server/manager/session_manager.h"

#include "common/logging.h"
#include "server/process/idle_exit.h"
#include "server/session/agent_contract.h"
#include "server/session/error_code.h"
#include "server/session/session_id.h"
#include "server/session/session_runtime.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <memory>

namespace {
constexpr int agentWaitMs = 15000;

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

SessionHold SessionManager::acquire(const QString &id, bool (*inState)(const SessionRuntime &))
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
        return SessionHold::refused(NoSuchSession);
    }
    // Nobody works on a session that is not held, so its state can be read here.
    if (inState && !inState(*found)) {
        return SessionHold::refused(InvalidState);
    }
    busy.insert(id);
    return SessionHold(this, id, found);
}

SessionHold SessionManager::tryAcquire(const QString &id)
{
    QMutexLocker locker(&lock);
    if (busy.contains(id) || waiting.contains(id)) {
        return SessionHold::heldElsewhere();
    }
    SessionRuntime *found = sessions.value(id);
    if (!found) {
        return SessionHold::refused(NoSuchSession);
    }
    busy.insert(id);
    return SessionHold(this, id, found);
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

SessionHold SessionManager::reserveNewId(const QString &id)
{
    QMutexLocker locker(&lock);
    // Two agents must never share one session directory: an id that is stored, or that another
    // start is still setting up, is refused like a malformed one.
    if (!isValidSessionId(id) || busy.contains(id) || sessions.contains(id)) {
        return SessionHold::refused(NoSuchSession);
    }
    busy.insert(id);
    return SessionHold(this, id, nullptr);
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

SessionAccess SessionManager::accessTo(const SessionRuntime &runtime)
{
    SessionAccess access;
    access.windowMode = runtime.windowMode();
    access.geometry = QStringLiteral("%1x%2").arg(runtime.screenSize().width()).arg(runtime.screenSize().height());
    access.password = runtime.passwords().last();
    access.port = AgentContract::viewerPort(runtime.display());
    return access;
}

// --- operations ---
//
// Every operation keeps its hold until it returns: leaving early gives the session back, or
// removes it when its state became unknown (see SessionHold).

SessionAccess SessionManager::start(const QString &id, const QString &command, const QString &geometry)
{
    SessionHold hold = reserveNewId(id);
    if (!hold.isHeld()) {
        logMessage(Logging::Warning, QStringLiteral("Got a bad id"));
        return SessionAccess::failure(hold.status());
    }

    auto runtime = std::make_unique<SessionRuntime>();
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
    if (code == 0) {
        hold.store(runtime.release());
    }
    // From here on a stored session itself keeps its display taken.
    if (claimed >= 0) {
        unclaimDisplay(quint16(claimed));
    }
    SessionRuntime *agent = hold.runtime();
    if (code == 0) {
        code = agent->waitForStarted(agentWaitMs);
    }
    if (code == 0) {
        code = agent->startApplication(command);
    }
    if (code == 0) {
        code = agent->sendSignal(SIGUSR1);
    }
    if (code == 0) {
        code = agent->waitForNewPassword(agentWaitMs);
    }
    if (code != 0) {
        return SessionAccess::failure(code);
    }
    // A list that changed by losing its only entry has no password to hand out.
    if (agent->passwords().isEmpty()) {
        return SessionAccess::failure(UnknownError);
    }
    SessionAccess access;
    access.geometry = geometry;
    access.password = agent->passwords().last();
    access.port = AgentContract::viewerPort(agent->display());
    return access;
}

int SessionManager::signalAndWait(const SessionHold &hold, int signal, int (SessionRuntime::*wait)(int))
{
    const int code = hold.runtime()->sendSignal(signal);
    return code != 0 ? code : (hold.runtime()->*wait)(agentWaitMs);
}

SessionAccess SessionManager::resume(const QString &id)
{
    const SessionHold hold = acquire(id, isWaiting);
    int code = hold.status();
    if (code == 0) {
        code = signalAndWait(hold, SIGUSR1, &SessionRuntime::waitForNewPassword);
    }
    return code != 0 ? SessionAccess::failure(code) : accessTo(*hold.runtime());
}

SessionAccess SessionManager::replay(const QString &id)
{
    const SessionHold hold = acquire(id, isOffered);
    return hold.isHeld() ? accessTo(*hold.runtime()) : SessionAccess::failure(hold.status());
}

int SessionManager::suspend(const QString &id)
{
    const SessionHold hold = acquire(id, isConnected);
    return hold.isHeld() ? signalAndWait(hold, SIGUSR2, &SessionRuntime::waitForDisconnect) : hold.status();
}

int SessionManager::terminate(const QString &id)
{
    SessionHold hold = acquire(id);
    int code = hold.status();
    if (code == 0) {
        code = signalAndWait(hold, SIGTERM, &SessionRuntime::waitForExit);
    }
    if (code == 0) {
        hold.discardEnded();
    }
    return code;
}

void SessionManager::checkSuspendTimeouts(int minutes)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &id : ids()) {
        const SessionHold hold = tryAcquire(id);
        if (!hold.isHeld()) {
            continue;
        }
        // A session that has never had a viewer leave has nothing to time out from.
        const SessionRuntime &runtime = *hold.runtime();
        const QDateTime left = runtime.lastDisconnect();
        if (runtime.clients() == 0 && left.isValid() && !(now < left.addSecs(qint64(minutes) * 60))) {
            hold.runtime()->sendSignal(SIGTERM);
        }
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

SessionRecordList SessionManager::updateSessions(const LookFilter &needsLook)
{
    QMutexLocker updating(&updateLock);
    peerTable.expire();
    SessionRecordList result = peerTable.records();
    QMap<QString, SessionRecord> listed;
    for (const QString &id : ids()) {
        SessionHold hold = tryAcquire(id);
        if (hold.isHeldElsewhere()) {
            // A request works on it (and may wait long for its agent): what it was will do for now.
            if (const auto last = lastListed.constFind(id); last != lastListed.constEnd()) {
                result << *last;
                listed.insert(id, *last);
            }
            continue;
        }
        if (!hold.isHeld()) {
            continue;
        }
        SessionRuntime *runtime = hold.runtime();
        // A session that showed no change since it was last looked at is listed as it is.
        const bool look = !needsLook || needsLook(id, *runtime);
        if (look && runtime->refresh() != 0) {
            // Its state is unknown: forget it but keep its directory for the next start to look at.
            hold.forget();
        } else if (runtime->exited()) {
            hold.discardEnded();
        } else {
            const SessionRecord record = makeRecord(id, location, *runtime);
            result << record;
            listed.insert(id, record);
        }
    }
    lastListed = listed;
    return result;
}

int SessionManager::collectLocal(SessionRecordList &list)
{
    for (const QString &id : ids()) {
        const SessionHold hold = acquire(id);
        if (!hold.isHeld()) {
            return hold.status();
        }
        list << makeRecord(id, location, *hold.runtime());
    }
    return 0;
}

int SessionManager::listSessions(SessionRecordList &list)
{
    SessionRecordList result = peerTable.records();
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

#include "server/manager/session_manager.h"

#include "common/logging.h"
#include "server/manager/agent_start.h"
#include "server/manager/session_recovery.h"
#include "server/process/idle_exit.h"
#include "server/session/agent_contract.h"
#include "server/session/error_code.h"
#include "server/session/session_id.h"
#include "server/session/session_runtime.h"
#include "server/session/session_stage.h"
#include "server/session/session_starter.h"
#include "server/session/value_files.h"
#include "server/session/x_authority.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/stat.h>

namespace {
constexpr int agentWaitMs = 15000;
// The recovery waits for an agent in slices this long, so that a server told to stop is not held up.
constexpr int recoverySliceMs = 200;
// Sessions made by batch jobs are looked for on every change of the sessions folder, and in full this
// often, whatever changed.
constexpr qint64 fullLookMs = 10000;

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

// A command as one line of the log, and not too long a one.
QString oneLine(const QString &command)
{
    constexpr int longest = 200;
    const QString line = command.simplified();
    return line.size() > longest ? line.left(longest) + QStringLiteral("...") : line;
}

}

SessionManager::SessionManager(const QString &sessionsDirectory, quint16 firstDisplay, quint16 displayEnd,
                               const QString &location)
    : sessionsDirectory(sessionsDirectory)
    , firstDisplay(firstDisplay)
    , displayEnd(displayEnd)
    , location(location)
    , leaseFolder(QFileInfo(sessionsDirectory).dir().filePath(QStringLiteral("displays")))
{
    loadSessions();
}

SessionManager::~SessionManager()
{
    stopping = true;
    recoveryThreads.waitForDone();
    for (SessionRuntime *runtime : std::as_const(sessions)) {
        delete runtime;
        idleExitSessionRemoved();
    }
}

void SessionManager::loadSessions()
{
    QList<std::function<void()>> recoveries;
    const QFileInfoList entries = QDir(sessionsDirectory).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString id = sessionIdFromDirectory(entry.filePath());
        if (!id.isNull()) {
            takeUp(id, entry.filePath(), SessionRecovery::plan(entry.filePath()), recoveries);
        }
    }
    startRecoveries(recoveries);
    removeUnfinishedDirectories();
    QMutexLocker locker(&lock);
    lastFullLook.start();
}

void SessionManager::removeUnfinishedDirectories()
{
    // A start killed before it renamed its new directory into place leaves it under its hidden name;
    // one that another process is filling right now is young, or names that process as its starter.
    constexpr qint64 youngSecs = 60;
    const QDateTime now = QDateTime::currentDateTime();
    const QFileInfoList entries =
        QDir(sessionsDirectory).entryInfoList({QStringLiteral(".C-*.new")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        SessionStarter::Record starter;
        if (entry.isSymLink() || entry.lastModified().secsTo(now) < youngSecs
            || (SessionStarter::read(entry.filePath(), starter) && SessionStarter::isAnotherLiveProcess(starter))) {
            continue;
        }
        if (QDir(entry.filePath()).removeRecursively()) {
            logMessage(Logging::Info, QStringLiteral("Removed \"%1\", left by a start that never began").arg(entry.filePath()));
        }
    }
}

void SessionManager::startRecoveries(const QList<std::function<void()>> &recoveries)
{
    // Only once the store is whole: they work on it.
    for (const std::function<void()> &recovery : recoveries) {
        recoveryThreads.start(recovery);
    }
}

void SessionManager::takeUp(const QString &id, const QString &directory, SessionRecovery::Plan plan,
                            QList<std::function<void()>> &recoveries)
{
    switch (plan) {
    case SessionRecovery::Load:
        loadSession(id, directory);
        break;
    case SessionRecovery::Complete:
        // Held from the store on, so that nobody sees the session before its application runs.
        if (SessionRuntime *runtime = loadSession(id, directory, true)) {
            recoveries << [this, id, runtime] { completeStart(id, runtime); };
            break;
        }
        Q_FALLTHROUGH();
    case SessionRecovery::End: {
        const int display = claimRecordedDisplay(directory);
        {
            QMutexLocker locker(&lock);
            recovering.insert(directory);
        }
        recoveries << [this, directory, display] { endHalfMade(directory, display); };
        break;
    }
    case SessionRecovery::Remove:
        removeHalfMade(directory);
        break;
    case SessionRecovery::Leave:
        // Its starter, lumen-job, completes or ends it; it is taken up once complete (adoptNew).
        break;
    }
}

bool SessionManager::isKnown(const QString &id, const QString &directory)
{
    QMutexLocker locker(&lock);
    return sessions.contains(id) || busy.contains(id) || recovering.contains(directory) || passedOver.contains(id);
}

bool SessionManager::sessionsFolderChanged()
{
    // A session made elsewhere appears by a rename into the folder, which changes its time; one that
    // was half-made when last seen changes only inside its own directory, so those are looked at on
    // every tick, and everything on the full look.
    struct stat folder = {};
    const qint64 modified = ::stat(QFile::encodeName(sessionsDirectory).constData(), &folder) == 0
        ? qint64(folder.st_mtim.tv_sec) * 1000000000 + folder.st_mtim.tv_nsec
        : -1;
    QMutexLocker locker(&lock);
    const bool changed = modified != lastSeenModified || !pendingIds.isEmpty() || lastFullLook.hasExpired(fullLookMs);
    lastSeenModified = modified;
    return changed;
}

void SessionManager::adoptNew()
{
    if (!sessionsFolderChanged()) {
        return;
    }
    QList<std::function<void()>> recoveries;
    QSet<QString> pending;
    QSet<QString> present;
    const QFileInfoList entries = QDir(sessionsDirectory).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString id = sessionIdFromDirectory(entry.filePath());
        if (id.isNull()) {
            continue;
        }
        present.insert(id);
        const QString directory = entry.filePath();
        if (isKnown(id, directory)) {
            continue;
        }
        const SessionRecovery::Plan plan = SessionRecovery::plan(directory);
        if (plan == SessionRecovery::Leave) {
            pending.insert(id);
            continue;
        }
        // While the server runs its own starts are held (and complete while held). What is left here is
        // a session that a batch job made, complete, or half-made and its lumen-job gone.
        if (SessionStage::read(directory) == SessionStage::Complete) {
            if (plan == SessionRecovery::Load) {
                adoptComplete(id, directory);
            }
            continue;
        }
        // A start of this process is held until it is complete; one whose starter is gone is taken up
        // as at start: a batch job's that ended half-way, or a previous server's that looked alive
        // when this one loaded.
        SessionStarter::Record starter;
        if (SessionStarter::read(directory, starter) && starter.pid != QCoreApplication::applicationPid()) {
            if (starter.kind == SessionStarter::Job) {
                logMessage(Logging::Info, QStringLiteral("The batch job that made \"%1\" ended before its session "
                                                         "was complete")
                                              .arg(directory));
            }
            takeUp(id, directory, plan, recoveries);
        }
    }
    startRecoveries(recoveries);
    QMutexLocker locker(&lock);
    pendingIds = pending;
    // Forget what was passed over once its directory is gone; an id is never used twice.
    passedOver.intersect(present);
    if (lastFullLook.hasExpired(fullLookMs)) {
        lastFullLook.start();
    }
}

void SessionManager::adoptComplete(const QString &id, const QString &directory)
{
    auto runtime = std::make_unique<SessionRuntime>();
    const bool usable = runtime->load(directory) == 0 && runtime->refresh() == 0 && !runtime->exited();
    QString job;
    {
        QMutexLocker locker(&lock);
        // This server's own start of the same id may have stored it meanwhile.
        if (sessions.contains(id) || busy.contains(id)) {
            return;
        }
        if (!usable) {
            // An ended session this server let go, or one that cannot be read: not looked at again.
            passedOver.insert(id);
            return;
        }
        job = runtime->job();
        sessions.insert(id, runtime.release());
        idleExitSessionAdded();
    }
    if (job.isEmpty()) {
        logMessage(Logging::Info, QStringLiteral("Took up the session %1 found in \"%2\"").arg(id, directory));
    } else {
        logMessage(Logging::Info, QStringLiteral("Took up the session %1 of the batch job %2").arg(id, job));
    }
}

SessionRuntime *SessionManager::loadSession(const QString &id, const QString &directory, bool held)
{
    auto *runtime = new SessionRuntime;
    if (runtime->load(directory) != 0 || runtime->refresh() != 0) {
        delete runtime;
        return nullptr;
    }
    // An agent that has already ended stays until the first update clears it away.
    QMutexLocker locker(&lock);
    sessions.insert(id, runtime);
    idleExitSessionAdded();
    if (held) {
        busy.insert(id);
    }
    return runtime;
}

void SessionManager::completeStart(const QString &id, SessionRuntime *runtime)
{
    SessionHold hold(this, id, runtime);
    QString command;
    QString error;
    int code = NoError;
    if (!SessionRecovery::readCommand(runtime->path(), command, error)) {
        logMessage(Logging::Warning, error);
        code = ReadFileFailed;
    }
    QElapsedTimer waited;
    waited.start();
    while (code == NoError && !runtime->started().isValid()) {
        if (stopping) {
            return; // the next server takes it up again
        }
        code = runtime->waitForStarted(recoverySliceMs);
        if (code == AgentTimeout && waited.elapsed() < agentWaitMs) {
            code = NoError;
        }
    }
    if (code == NoError) {
        code = runtime->startApplication(command);
    }
    if (code == NoError) {
        logMessage(Logging::Info, QStringLiteral("Started the application of the session \"%1\", whose start the "
                                                 "previous server left unfinished")
                                      .arg(id));
        return;
    }
    // It cannot be completed: ended, like any other half-made session. Its display stays taken until
    // its processes are gone.
    const QString directory = runtime->path();
    const quint16 display = runtime->display();
    {
        QMutexLocker locker(&lock);
        claimedDisplays.insert(display);
        recovering.insert(directory);
    }
    hold.forget();
    endHalfMade(directory, display);
}

int SessionManager::claimRecordedDisplay(const QString &directory)
{
    quint16 display = 0;
    QString ignored;
    if (!readFileUShort(QDir(directory).filePath(AgentContract::displayFile), display, ignored)) {
        return -1;
    }
    QMutexLocker locker(&lock);
    if (claimedDisplays.contains(display)) {
        return -1;
    }
    claimedDisplays.insert(display);
    return display;
}

void SessionManager::endHalfMade(const QString &directory, int claimedDisplay)
{
    QString message;
    const bool removed = SessionRecovery::endAndRemove(directory, agentWaitMs, stopping, message);
    if (removed) {
        logMessage(Logging::Info, QStringLiteral("Ended the session in \"%1\", which was never completed").arg(directory));
    } else if (!stopping) {
        logMessage(Logging::Warning, message);
    }
    if (claimedDisplay >= 0) {
        unclaimDisplay(quint16(claimedDisplay));
    }
    QMutexLocker locker(&lock);
    recovering.remove(directory);
    if (!removed) {
        // Left to the next server, not tried again on every look.
        passedOver.insert(sessionIdFromDirectory(directory));
    }
}

void SessionManager::removeHalfMade(const QString &directory)
{
    QString message;
    if (removeSessionDirectory(directory, message)) {
        logMessage(Logging::Info, QStringLiteral("Removed \"%1\", a session left half-made or half-removed").arg(directory));
    } else {
        logMessage(Logging::Warning, message);
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

void SessionManager::withdraw(const QString &id)
{
    QMutexLocker locker(&lock);
    sessions.remove(id);
    idleExitSessionRemoved();
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

bool SessionManager::isDisplayAvailable(quint16 display)
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
    return true;
}

void SessionManager::unclaimDisplay(quint16 display)
{
    QMutexLocker locker(&lock);
    claimedDisplays.remove(display);
}

void SessionManager::discardEnded(const QString &id, SessionRuntime *runtime)
{
    logMessage(Logging::Info, QStringLiteral("The session %1 ended with status %2").arg(id).arg(runtime->exitCode()));
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

SessionRuntime *SessionManager::launchAgent(SessionHold &hold, const QString &directory, const QString &geometry,
                                            const QString &command, const DisplayClaim &claim, int &code)
{
    auto runtime = std::make_unique<SessionRuntime>();
    code = runtime->startAgent(directory, firstDisplay, displayEnd, geometry, command, claim);
    if (code == 0) {
        hold.store(runtime.release());
    }
    return hold.runtime();
}

SessionAccess SessionManager::start(const QString &id, const QString &command, const QString &geometry)
{
    SessionHold hold = reserveNewId(id);
    if (!hold.isHeld()) {
        logMessage(Logging::Warning, QStringLiteral("Got a bad id"));
        return SessionAccess::failure(hold.status());
    }

    const QString directory = sessionDirectory(sessionsDirectory, id);
    // Once this start is over, whatever its outcome: not while it needs the processor.
    const auto readyNextStart = qScopeGuard([&directory] { prepareNextAuthorityRun(directory); });
    const auto available = [this](quint16 display) { return isDisplayAvailable(display); };
    const auto launch = [&](const DisplayClaim &claim, int &code) {
        return launchAgent(hold, directory, geometry, command, claim, code);
    };
    int code = AgentStart::run(leaseFolder, directory, available, launch, [&hold] { hold.withdraw(); });
    SessionRuntime *agent = hold.runtime();
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
    logMessage(Logging::Info, QStringLiteral("Started the session %1 on display %2: %3")
                                  .arg(id)
                                  .arg(agent->display())
                                  .arg(oneLine(command)));
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
    // Marked first and its record removed last, so that a removal cut short by a crash is finished
    // by the next server instead of leaving a directory that no longer loads.
    QString ignored;
    SessionStage::write(path, SessionStage::Removing, ignored);
    QDir directory(path);
    QFileInfoList files = directory.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    std::stable_partition(files.begin(), files.end(),
                          [](const QFileInfo &file) { return file.fileName() != AgentContract::stageFile; });
    // The lumen-job of a batch session may be removing it at the same time: what vanished meanwhile
    // counts as removed.
    for (const QFileInfo &file : files) {
        const QFileInfo left(file.filePath());
        if (!QFile::remove(file.filePath()) && (left.isSymLink() || left.exists())) {
            message = QStringLiteral("Failed to remove the file \"%1\"").arg(file.filePath());
            return false;
        }
    }
    if (!QDir().rmdir(path) && QFileInfo::exists(path)) {
        message = QStringLiteral("Failed to remove the directory \"%1\"").arg(path);
        return false;
    }
    return true;
}

// --- lists ---

SessionRecord SessionManager::makeRecord(const QString &id, const QUrl &location, const SessionRuntime &runtime)
{
    SessionRecord record;
    record.setId(id);
    record.setLocation(location);
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
    record.setJob(runtime.job());
    return record;
}

void SessionManager::logViewerChanges(const QString &id, const SessionRecord &before, const SessionRecord &now)
{
    if (now.lastConnect() != before.lastConnect()) {
        logMessage(Logging::Info, QStringLiteral("A viewer connected to the session %1").arg(id));
    }
    if (now.lastDisconnect() != before.lastDisconnect()) {
        logMessage(Logging::Info, QStringLiteral("A viewer left the session %1").arg(id));
    }
}

SessionRecordList SessionManager::updateSessions(const LookFilter &needsLook, bool *unchanged)
{
    QMutexLocker updating(&updateLock);
    adoptNew();
    peerTable.expire();
    SessionRecordList result = peerTable.records();
    // Stays true while every local session is listed with its last record.
    bool same = result == lastPeerRecords;
    lastPeerRecords = result;
    QHash<QString, Listed> listed;
    listed.reserve(lastListed.size());
    for (const QString &id : ids()) {
        SessionHold hold = tryAcquire(id);
        const auto last = lastListed.constFind(id);
        if (hold.isHeldElsewhere()) {
            // A request works on it (and may wait long for its agent): what it was will do for now.
            if (last != lastListed.constEnd()) {
                result << last->record;
                listed.insert(id, *last);
            } else {
                same = false;
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
        } else if (last != lastListed.constEnd() && last->revision == runtime->revision()) {
            // Nothing has touched it since: the record is the one made then.
            result << last->record;
            listed.insert(id, *last);
        } else {
            const SessionRecord record = makeRecord(id, location, *runtime);
            if (last != lastListed.constEnd()) {
                logViewerChanges(id, last->record, record);
                same = same && record == last->record;
            } else {
                same = false;
            }
            result << record;
            listed.insert(id, {record, runtime->revision()});
        }
    }
    // With nothing new and nothing gone (each listed id was listed last time), only a count tells a
    // session that left the list.
    same = same && listed.size() == lastListed.size();
    lastListed.swap(listed);
    if (unchanged) {
        *unchanged = same;
    }
    return result;
}

void SessionManager::collectLocal(SessionRecordList &list)
{
    for (const QString &id : ids()) {
        // A session that ended while the list waited for it is simply no longer there.
        const SessionHold hold = acquire(id);
        if (hold.isHeld()) {
            list << makeRecord(id, location, *hold.runtime());
        }
    }
}

int SessionManager::listSessions(SessionRecordList &list)
{
    list = peerTable.records();
    collectLocal(list);
    return 0;
}

int SessionManager::listLocalSessions(SessionRecordList &list)
{
    list.clear();
    collectLocal(list);
    return 0;
}

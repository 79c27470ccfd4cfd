#include "server/session/session_runtime.h"

#include "common/files.h"
#include "common/logging.h"
#include "server/process/process_spawner.h"
#include "server/session/agent_contract.h"
#include "server/session/agent_info_object.h"
#include "server/session/agent_log_grammar.h"
#include "server/session/agent_socket.h"
#include "server/session/agent_watch.h"
#include "server/session/directory_processes.h"
#include "server/session/display_search.h"
#include "server/session/error_code.h"
#include "server/session/launcher_state.h"
#include "server/session/session_stage.h"
#include "server/session/value_files.h"
#include "server/session/x_authority.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>

#include <cerrno>
#include <cstdio>

namespace {
// The waits look again at least this often, also when the agent shows no change (see AgentWatch).
constexpr int pollIntervalMs = 50;

void warn(const QString &message)
{
    logMessage(Logging::Warning, message);
}

QString missingDirectory(const QString &dir)
{
    return QStringLiteral("The directory \"%1\" does not exist").arg(dir);
}

// The files that describe the session to a later load, all mode 0600.
bool writeSessionFiles(const QDir &dir, quint16 display, const QString &windowMode, const QString &command,
                       QString &error)
{
    return writeFileUShort(dir.filePath(AgentContract::displayFile), display, error)
        && writeFileString(dir.filePath(AgentContract::windowModeFile), windowMode, error)
        && writeFileString(dir.filePath(AgentContract::nameFile), command, error)
        && writeFileText(dir.filePath(AgentContract::infoFile), "{\n}", error);
}

// Makes the directory with its start record already inside: it is made under a hidden name and
// renamed into place, so that a server looking at the sessions folder meanwhile (this one's own
// restart, or the node's server while lumen-job makes a session) never finds a directory without the
// record, which would read as a session complete but broken, or as an empty one to remove.
int makeSessionDirectory(const QString &dir, SessionStarter::Kind starter)
{
    const QFileInfo target(dir);
    const QString hidden = target.dir().filePath(QStringLiteral(".%1.new").arg(target.fileName()));
    QString error;
    // One left by a start that was killed right here: the id is this start's own.
    if (QFileInfo::exists(hidden)) {
        QDir(hidden).removeRecursively();
    }
    if (!QDir().mkpath(hidden)) {
        warn(QStringLiteral("Failed to create the directory \"%1\"").arg(dir));
        return CreateDirectoryFailed;
    }
    if (!SessionStage::write(hidden, SessionStage::Preparing, error)
        || !SessionStarter::write(hidden, starter, error)) {
        warn(error);
        QDir(hidden).removeRecursively();
        return WriteFileFailed;
    }
    if (::rename(QFile::encodeName(hidden).constData(), QFile::encodeName(dir).constData()) != 0) {
        const int failure = errno;
        warn(QStringLiteral("Failed to create the directory \"%1\": %2").arg(dir, qt_error_string(failure)));
        QDir(hidden).removeRecursively();
        return CreateDirectoryFailed;
    }
    return NoError;
}

int signalFailed(qint32 pid, int failure)
{
    warn(QStringLiteral("Failed to signal the process with pid \"%1\": %2")
             .arg(QString::number(pid), qt_error_string(failure)));
    return UnknownError;
}

// Signals the process only when it is the session's agent: like the launcher, it works in the
// session directory.
int signalAgent(qint32 pid, const QString &sessionPath, int signal)
{
    int failure = 0;
    switch (DirectoryProcesses::signal(pid, sessionPath, signal, failure)) {
    case DirectoryProcesses::Sent:
        return NoError;
    case DirectoryProcesses::NotThere:
        warn(QStringLiteral("The process with pid \"%1\" is not the agent of the session in \"%2\"")
                 .arg(QString::number(pid), sessionPath));
        return ReadFileFailed;
    case DirectoryProcesses::Failed:
        break;
    }
    return signalFailed(pid, failure);
}
}

SessionRuntime::SessionRuntime() = default;

QString SessionRuntime::path() const { return m_path; }
quint16 SessionRuntime::display() const { return m_display; }
qint32 SessionRuntime::monitorPid() const { return m_monitorPid; }
QString SessionRuntime::windowMode() const { return m_windowMode; }
QString SessionRuntime::name() const { return m_name; }
bool SessionRuntime::failed() const { return m_failed; }
QDateTime SessionRuntime::started() const { return m_info.started; }
QDateTime SessionRuntime::lastConnect() const { return m_info.lastConnect; }
QDateTime SessionRuntime::lastDisconnect() const { return m_info.lastDisconnect; }
int SessionRuntime::clients() const { return m_info.clients; }
QStringList SessionRuntime::passwords() const { return m_info.passwords; }
QSize SessionRuntime::screenSize() const { return m_info.screenSize; }
bool SessionRuntime::exited() const { return m_exited; }
int SessionRuntime::exitCode() const { return m_exitCode; }
QString SessionRuntime::job() const { return m_job; }

void SessionRuntime::reset(const QString &dir, quint16 displayNumber, qint32 launcherPid, const QString &mode,
                           const QString &sessionName)
{
    m_path = dir;
    m_display = displayNumber;
    m_monitorPid = launcherPid;
    m_windowMode = mode;
    m_name = sessionName;
    m_logCursor.rewind();
    m_failed = false;
    m_info = AgentInfo();
    m_exited = false;
    m_exitCode = -1;
    m_job.clear();
    ++m_revision;
}

QString SessionRuntime::sessionFile(const QString &fileName) const
{
    return QDir(m_path).filePath(fileName);
}

int SessionRuntime::load(const QString &dir)
{
    if (!QFileInfo(dir).isDir()) {
        warn(missingDirectory(dir));
        return NotASessionPath;
    }
    const QDir directory(dir);
    quint16 displayNumber = 0;
    QString mode;
    QString sessionName;
    int launcherPid = 0;
    QString error;
    if (!readFileUShort(directory.filePath(AgentContract::displayFile), displayNumber, error)
        || !readFileWord(directory.filePath(AgentContract::windowModeFile), mode, error)
        || !readFileText(directory.filePath(AgentContract::nameFile), sessionName, error)
        || !readFileInt(directory.filePath(AgentContract::monitorPidFile), launcherPid, error)) {
        warn(error);
        return ReadFileFailed;
    }
    reset(dir, displayNumber, launcherPid, mode, sessionName);
    // Only a session made by lumen-job has one; a record unreadable there is left out, not fatal.
    const QString jobPath = directory.filePath(AgentContract::jobFile);
    if (QFileInfo::exists(jobPath) && !readFileWord(jobPath, m_job, error)) {
        warn(error);
    }
    ++m_revision;
    return NoError;
}

int SessionRuntime::startAgent(const QString &dir, quint16 firstDisplay, quint16 endDisplay, const QString &geometry,
                               const QString &command, const DisplayClaim &claimDisplay)
{
    quint16 displayNumber = 0;
    if (!findFreeDisplay(firstDisplay, endDisplay, displayNumber, claimDisplay)) {
        warn(QStringLiteral("Failed to find an open display"));
        return NoOpenDisplay;
    }
    const QString mode = geometry == QLatin1String("rootless") ? QStringLiteral("rootless") : QStringLiteral("desktop");
    QString cookie;
    QString error;
    if (!randomHex(cookie, error)) {
        warn(error);
        return CookieFailed;
    }
    if (!QFileInfo::exists(dir)) {
        const int code = makeSessionDirectory(dir, m_starter);
        if (code != NoError) {
            return code;
        }
    } else if (!SessionStage::write(dir, SessionStage::Preparing, error)) {
        // A start that moves on to another display, in its own directory.
        warn(error);
        return WriteFileFailed;
    }
    if (!writeSessionFiles(QDir(dir), displayNumber, mode, command, error)) {
        warn(error);
        return WriteFileFailed;
    }
    // The local entry alone lets the session run; the host-name entry is a convenience.
    const QString hostDisplay = QStringLiteral("%2:%1").arg(QString::number(displayNumber), QHostInfo::localHostName());
    QString hostError;
    if (!addAuthorityEntries(dir, QStringLiteral("unix:%1").arg(displayNumber), hostDisplay, cookie, error, hostError)) {
        warn(error);
        return WriteFileFailed;
    }
    if (!hostError.isEmpty()) {
        warn(hostError);
    }
    qint64 launcherPid = 0;
    const QStringList arguments = {geometry, QString::number(AgentContract::viewerPort(displayNumber))};
    if (!spawnDetached(AgentContract::agentLauncher, arguments, dir, launcherPid, error)) {
        warn(QStringLiteral("Failed to start the agent in the directory \"%1\"").arg(dir));
        return AgentStartFailed;
    }
    if (!writeFileLongLong(QDir(dir).filePath(AgentContract::monitorPidFile), launcherPid, error)
        || !SessionStage::write(dir, SessionStage::AgentLaunched, error)) {
        warn(error);
        return WriteFileFailed;
    }
    reset(dir, displayNumber, qint32(launcherPid), mode, command);
    return NoError;
}

int SessionRuntime::startApplication(const QString &command)
{
    if (m_path.isEmpty()) {
        return NotInitialized;
    }
    QString error;
    if (!writeFileString(sessionFile(AgentContract::appLogFile), QString(), error)
        || !SessionStage::write(m_path, SessionStage::StartingApplication, error)) {
        warn(error);
        return WriteFileFailed;
    }
    qint64 appPid = 0;
    if (!spawnDetached(AgentContract::appLauncher, {command}, m_path, appPid, error)) {
        warn(QStringLiteral("Failed to start the applicaion in the directory \"%1\"").arg(m_path));
        return ApplicationStartFailed;
    }
    // The session works either way; a record left behind would only make the next server end it.
    if (!SessionStarter::remove(m_path, error) || !SessionStage::clear(m_path, error)) {
        warn(error);
    }
    return NoError;
}

void SessionRuntime::updateAgentInfo()
{
    // A session whose socket does not answer keeps what it had; the failure is not the session's.
    QString ignored;
    const QString socketPath = AgentContract::infoSocketPath(m_display);
    if (QFileInfo::exists(socketPath)) {
        queryAgentInfo(socketPath, ignored);
        return;
    }
    const QString logPath = sessionFile(AgentContract::logFile);
    if (QFileInfo::exists(logPath)) {
        parseAgentLog(logPath, ignored);
    }
}

int SessionRuntime::refresh()
{
    if (m_path.isEmpty()) {
        return NotInitialized;
    }
    ++m_revision;
    const LauncherState state = launcherState(m_monitorPid, m_path);
    if (state == LauncherState::Unknown) {
        m_failed = true;
        warn(QStringLiteral("Failed to determine if the process with pid \"%1\" is alive: %2")
                 .arg(QString::number(m_monitorPid), QStringLiteral("Invalid proc format")));
        return UnknownError;
    }
    m_exited = state == LauncherState::Gone;
    updateAgentInfo();
    if (m_exited) {
        QString error;
        if (!readFileInt(sessionFile(AgentContract::exitFile), m_exitCode, error)) {
            m_failed = true;
            warn(error);
            return ReadFileFailed;
        }
    }
    m_failed = false;
    return NoError;
}

int SessionRuntime::sendSignal(int signal)
{
    if (m_path.isEmpty()) {
        return NotInitialized;
    }
    if (!QFileInfo(m_path).isDir()) {
        warn(missingDirectory(m_path));
        return NotASessionPath;
    }
    const QString pidFile = sessionFile(AgentContract::pidFile);
    int pid = 0;
    QString error;
    if (!readFileInt(pidFile, pid, error)) {
        warn(error);
        return ReadFileFailed;
    }
    // 0 and negative ids would signal a whole process group or every process of the user.
    if (pid <= 0) {
        warn(QStringLiteral("The file \"%1\" holds no valid process id: \"%2\"").arg(pidFile, QString::number(pid)));
        return ReadFileFailed;
    }
    return signalAgent(pid, m_path, signal);
}

int SessionRuntime::waitUntil(int timeoutMs, const std::function<bool()> &reached)
{
    if (m_path.isEmpty()) {
        return NotInitialized;
    }
    // Made before the first look, so that whatever the agent does after that look wakes the wait.
    AgentWatch watch(m_path, m_monitorPid);
    const qint64 timeoutNs = qint64(timeoutMs) * 1000000;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int result = refresh();
        if (result != NoError) {
            return result;
        }
        if (reached()) {
            return NoError;
        }
        if (m_exited) {
            return UnknownError;
        }
        const qint64 elapsedNs = timer.nsecsElapsed();
        if (timeoutMs >= 0 && elapsedNs > timeoutNs) {
            return AgentTimeout;
        }
        // Rounded up, so that the last pause does not end just short of the time-out.
        const qint64 leftMs = (timeoutNs - elapsedNs + 999999) / 1000000;
        const int pauseMs = timeoutMs < 0 ? pollIntervalMs : int(qMin<qint64>(pollIntervalMs, leftMs));
        QString error;
        if (pauseMs > 0 && !watch.waitForChange(pauseMs, error)) {
            warn(QStringLiteral("Failed to sleep: %1").arg(error));
            return UnknownError;
        }
    }
}

int SessionRuntime::waitForExit(int timeoutMs)
{
    return waitUntil(timeoutMs, [this] { return m_exited; });
}

int SessionRuntime::waitForStarted(int timeoutMs)
{
    const QDateTime before = m_info.started;
    return waitUntil(timeoutMs, [this, before] { return m_info.started != before; });
}

int SessionRuntime::waitForNewPassword(int timeoutMs)
{
    const QStringList before = m_info.passwords;
    return waitUntil(timeoutMs, [this, before] { return m_info.passwords != before; });
}

int SessionRuntime::waitForDisconnect(int timeoutMs)
{
    const QDateTime before = m_info.lastDisconnect;
    return waitUntil(timeoutMs, [this, before] { return m_info.lastDisconnect != before; });
}

bool SessionRuntime::queryAgentInfo(const QString &socketPath, QString &error)
{
    ++m_revision;
    QByteArray answer;
    if (!receiveAgentInfo(socketPath, answer)) {
        error = QStringLiteral("Failed to get the info from the session");
        return false;
    }
    if (!applyAgentInfoObject(answer, m_info, error)) {
        return false;
    }
    // The fields now hold the socket's view; should the log be read again, it is read whole.
    m_logCursor.rewind();
    return true;
}

bool SessionRuntime::parseAgentLog(const QString &logPath, QString &error)
{
    ++m_revision;
    QStringList lines;
    bool fromStart = false;
    const bool complete = m_logCursor.readNewLines(logPath, lines, fromStart, error);
    if (fromStart) {
        m_info = AgentInfo();
    }
    for (const QString &line : lines) {
        applyAgentLogLine(line, m_info);
    }
    return complete;
}

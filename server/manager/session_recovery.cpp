#include "server/manager/session_recovery.h"

#include "common/regular_file.h"
#include "server/manager/session_manager.h"
#include "server/session/agent_contract.h"
#include "server/session/directory_processes.h"
#include "server/session/session_stage.h"
#include "server/session/session_starter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>

namespace {
// A command longer than this was never accepted by a start.
constexpr qint64 commandLimit = 1 << 20;
constexpr int pollMs = 50;
// How long processes get to go after SIGKILL.
constexpr int killWaitMs = 2000;

// Signals every process that works in the directory; false when one of them could not be signalled.
bool signalAll(const QString &directory, int signal, QString &message)
{
    for (const qint32 pid : DirectoryProcesses::find(directory)) {
        int failure = 0;
        if (DirectoryProcesses::signal(pid, directory, signal, failure) == DirectoryProcesses::Failed
            && failure != ESRCH) {
            message = QStringLiteral("Failed to signal the process with pid \"%1\": %2")
                          .arg(QString::number(pid), qt_error_string(failure));
            return false;
        }
    }
    return true;
}

// Waits until no process works in the directory; false on time-out or when told to stop.
bool waitUntilGone(const QString &directory, int waitMs, const std::atomic_bool &stopping)
{
    QElapsedTimer timer;
    timer.start();
    while (!DirectoryProcesses::find(directory).isEmpty()) {
        if (stopping || timer.elapsed() > waitMs) {
            return false;
        }
        QThread::msleep(pollMs);
    }
    return true;
}
}

SessionRecovery::Plan SessionRecovery::plan(const QString &directory)
{
    const SessionStage::Stage stage = SessionStage::read(directory);
    SessionStarter::Record starter;
    const bool starterKnown = stage != SessionStage::Complete && SessionStarter::read(directory, starter);
    if (starterKnown && SessionStarter::isAnotherLiveProcess(starter)) {
        return Leave;
    }
    switch (stage) {
    case SessionStage::Complete:
        // Only a server killed between creating the directory and its first record leaves it empty.
        return QDir(directory).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
            ? Remove
            : Load;
    case SessionStage::AgentLaunched:
        if (starterKnown && starter.kind == SessionStarter::Job) {
            return DirectoryProcesses::find(directory).isEmpty() ? Remove : End;
        }
        return Complete;
    case SessionStage::StartingApplication:
        // Whether the application was started cannot be told: starting it again could run it twice.
        return End;
    case SessionStage::Preparing:
    case SessionStage::Removing:
    case SessionStage::Unknown:
        break;
    }
    return DirectoryProcesses::find(directory).isEmpty() ? Remove : End;
}

bool SessionRecovery::endAndRemove(const QString &directory, int waitMs, const std::atomic_bool &stopping,
                                   QString &message)
{
    if (!signalAll(directory, SIGTERM, message)) {
        return false;
    }
    if (!waitUntilGone(directory, waitMs, stopping)) {
        if (stopping || !signalAll(directory, SIGKILL, message)) {
            return false;
        }
        if (!waitUntilGone(directory, killWaitMs, stopping)) {
            message = QStringLiteral("Processes of the session in \"%1\" do not end").arg(directory);
            return false;
        }
    }
    return SessionManager::removeSessionDirectory(directory, message);
}

bool SessionRecovery::readCommand(const QString &directory, QString &command, QString &error)
{
    RegularFile file;
    QByteArray bytes;
    if (!file.open(QDir(directory).filePath(AgentContract::nameFile), error)
        || !file.read(0, commandLimit, bytes, error)) {
        return false;
    }
    if (bytes.isEmpty() || file.size() > bytes.size()) {
        error = QStringLiteral("The file \"%1\" holds no usable command").arg(QDir(directory).filePath(AgentContract::nameFile));
        return false;
    }
    command = QString::fromUtf8(bytes);
    return true;
}

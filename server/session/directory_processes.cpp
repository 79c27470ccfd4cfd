#include "server/session/directory_processes.h"

#include "server/session/launcher_state.h"
#include "server/session/pidfd.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

QList<qint32> DirectoryProcesses::find(const QString &directory)
{
    QList<qint32> found;
    struct stat wanted;
    if (::stat(QFile::encodeName(directory).constData(), &wanted) != 0) {
        return found;
    }
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint32 pid = entry.toInt(&isPid);
        struct stat working;
        if (isPid && ::stat(QFile::encodeName(QStringLiteral("/proc/%1/cwd").arg(entry)).constData(), &working) == 0
            && working.st_dev == wanted.st_dev && working.st_ino == wanted.st_ino) {
            found << pid;
        }
    }
    return found;
}

DirectoryProcesses::SignalResult DirectoryProcesses::signal(qint32 pid, const QString &directory, int signal,
                                                            int &failure)
{
    const int process = pidfdOpen(pid);
    if (process < 0 && errno != ENOSYS) {
        failure = errno; // ESRCH for a process that has ended
        return Failed;
    }
    SignalResult outcome = NotThere;
    if (launcherState(pid, directory) == LauncherState::Alive) {
        int result;
        do {
            result = process >= 0 ? pidfdSendSignal(process, signal) : ::kill(pid, signal);
        } while (result != 0 && errno == EINTR);
        failure = errno;
        outcome = result == 0 ? Sent : Failed;
    }
    if (process >= 0) {
        ::close(process);
    }
    return outcome;
}

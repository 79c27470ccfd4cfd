#include "server/session/launcher_state.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {
bool sameLocation(const QString &first, const QString &second)
{
    struct stat a;
    struct stat b;
    return ::stat(QFile::encodeName(first).constData(), &a) == 0
        && ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
}

LauncherState launcherState(qint32 pid, const QString &sessionPath)
{
    const QString process = QStringLiteral("/proc/%1").arg(pid);
    if (!QFileInfo::exists(process)) {
        return LauncherState::Gone;
    }
    const QString workingDirectory = process + QStringLiteral("/cwd");
    const QByteArray nativePath = QFile::encodeName(workingDirectory);
    struct stat link;
    if (::lstat(nativePath.constData(), &link) != 0) {
        // The process ended between the two looks; while its parent collects it, /proc answers
        // "no such process" for a moment instead.
        return errno == ENOENT || errno == ESRCH ? LauncherState::Gone : LauncherState::Unknown;
    }
    if (!S_ISLNK(link.st_mode)) {
        return LauncherState::Unknown;
    }
    return sameLocation(workingDirectory, sessionPath) ? LauncherState::Alive : LauncherState::Gone;
}

#include "session_test_files.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

bool writeBytes(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool appendBytes(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(content) == content.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeSessionDirectory(const QString &dir, quint16 display, qint64 monitorPid, const QByteArray &windowMode,
                           const QByteArray &name)
{
    const QDir directory(dir);
    return QDir().mkpath(dir) && writeBytes(directory.filePath("display"), QByteArray::number(display))
        && writeBytes(directory.filePath("window_mode"), windowMode) && writeBytes(directory.filePath("name"), name)
        && writeBytes(directory.filePath("monitor_pid"), QByteArray::number(monitorPid));
}

qint64 unusedPid()
{
    // Above the kernel's limit no process id is ever handed out.
    const QByteArray limit = readBytes("/proc/sys/kernel/pid_max").trimmed();
    bool ok = false;
    const qint64 maximum = limit.toLongLong(&ok);
    return ok ? maximum + 1 : 4194305;
}

int fileMode(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

#include "job/orphan_reaper.h"

#include <QDir>
#include <QFile>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

bool OrphanReaper::becomeSubreaper()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

int OrphanReaper::reap(const QList<qint64> &leave)
{
    const qint64 self = ::getpid();
    int collected = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || leave.contains(pid)) {
            continue;
        }
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // "<pid> (<name>) <state> <ppid> ...": the name may hold anything, the fields after it not.
        const QByteArray text = stat.read(4096);
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 1).split(' ');
        if (fields.size() > 2 && fields.at(1) == "Z" && fields.at(2).toLongLong() == self
            && ::waitpid(pid_t(pid), nullptr, WNOHANG) == pid_t(pid)) {
            ++collected;
        }
    }
    return collected;
}

#include "server/single_instance.h"

#include <QStandardPaths>

SingleInstance::SingleInstance(const QString &id)
    : lockFile(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') + id + QStringLiteral(".lock"))
{
    // A server runs for days: only a lock whose owner has died may be taken over, never one that
    // is merely old.
    lockFile.setStaleLockTime(0);
}

bool SingleInstance::tryLock()
{
    return lockFile.tryLock(0);
}

QString SingleInstance::lockPath() const
{
    return lockFile.fileName();
}

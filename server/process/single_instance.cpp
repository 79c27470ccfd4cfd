#include "server/process/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

SingleInstance::SingleInstance(const QString &userPath)
    : lockFile(QDir(userPath).filePath(QStringLiteral("server.lock")))
    , previousLockFile(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/')
                       + idFor(userPath) + QStringLiteral(".lock"))
{
    // A server runs for days: only a lock whose owner has died may be taken over, never one that
    // is merely old.
    lockFile.setStaleLockTime(0);
    previousLockFile.setStaleLockTime(0);
}

QString SingleInstance::idFor(const QString &userPath)
{
    // Links, "..", a trailing slash: one folder, one name. A path that does not exist yet (the
    // server then fails to open its log) is only cleaned.
    const QFileInfo info(userPath);
    const QString canonical = info.canonicalFilePath();
    const QString resolved = canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
    // A file name cannot hold every path; a digest of it can.
    const QByteArray digest = QCryptographicHash::hash(resolved.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return QStringLiteral("lumen_server-%1-%2").arg(QString::number(::getuid()), QString::fromLatin1(digest));
}

SingleInstance::Outcome SingleInstance::tryLock(QString &error)
{
    if (!lockFile.tryLock(0)) {
        if (lockFile.error() == QLockFile::LockFailedError) {
            return Outcome::HeldByAnother;
        }
        error = QStringLiteral("Failed to create the lock file \"%1\"").arg(lockFile.fileName());
        return Outcome::Failed;
    }
    // A server of the previous release holds only this one. A runtime folder where it cannot even
    // be made was no place for that server either.
    if (!previousLockFile.tryLock(0) && previousLockFile.error() == QLockFile::LockFailedError) {
        lockFile.unlock();
        return Outcome::HeldByAnother;
    }
    return Outcome::Taken;
}

QString SingleInstance::lockPath() const
{
    return lockFile.fileName();
}

QString SingleInstance::previousLockPath() const
{
    return previousLockFile.fileName();
}

#pragma once

#include <QLockFile>
#include <QString>

// One server per user and user path, held for the whole life of the process by a lock file in the
// user path itself ("server.lock"): every process that serves those files meets it, whatever
// runtime folder or /tmp it was given (a batch job may have a private /tmp, and the runtime folder of
// a login is removed when the login ends while its server runs on). The user path is private to the
// user, so nobody else can block the server by creating the file first.
//
// The lock that servers of the previous release take, in the user's runtime folder, is taken as well,
// so that an old and a new server never run side by side for the same files.
class SingleInstance
{
public:
    enum class Outcome { Taken, HeldByAnother, Failed };

    explicit SingleInstance(const QString &userPath);

    // The id of the previous release's lock for this user path: built from the real user id and the
    // path as the file system resolves it, never from the environment (USER may be unset or name
    // someone else), so every way of starting the server for the same files meets the same lock.
    static QString idFor(const QString &userPath);

    // Taken, or held by another live process; Failed (with the reason in `error`) when the lock
    // file in the user path cannot be created at all.
    Outcome tryLock(QString &error);
    QString lockPath() const;
    QString previousLockPath() const;

private:
    QLockFile lockFile;
    QLockFile previousLockFile;
};

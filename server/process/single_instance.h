#pragma once

#include <QLockFile>
#include <QString>

// One server per user and user path: a lock file named after the instance id in the user's private
// runtime directory, held for the whole life of the process. A world-writable folder would let
// another user block the server by creating the file first.
class SingleInstance
{
public:
    enum class Outcome { Taken, HeldByAnother, Failed };

    explicit SingleInstance(const QString &id);

    // The id of the server for this user path: built from the real user id and the path as the
    // file system resolves it, never from the environment (USER may be unset or name someone
    // else), so every way of starting the server for the same files meets the same lock.
    static QString idFor(const QString &userPath);

    // Taken, or held by another live process; Failed (with the reason in `error`) when the lock
    // file cannot be created at all.
    Outcome tryLock(QString &error);
    QString lockPath() const;

private:
    QLockFile lockFile;
};

#pragma once

#include <QLockFile>
#include <QString>

// One server per user: a lock file named after the instance id in the user's private runtime
// directory, held for the whole life of the process. A world-writable folder would let another
// user block the server by creating the file first.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &id);

    // False when another live process holds the lock.
    bool tryLock();
    QString lockPath() const;

private:
    QLockFile lockFile;
};

#pragma once

#include <QString>

// A display number held by one start, from its search until its agent is up, seen by every process
// of the user on this host: the server's starts and those of lumen-job in batch jobs. It is an
// exclusive flock on "<folder>/<display>.lock"; such a lock belongs to one open file, so two starts
// in one process exclude each other as two processes do, and the lease of a process that dies is
// released with it: nothing stale is ever left to clean up.
class DisplayLease
{
public:
    // `folder` is per host (in the user path): every process that may start a session there sees it,
    // whatever /tmp it has of its own.
    explicit DisplayLease(const QString &folder);
    ~DisplayLease();

    DisplayLease(const DisplayLease &) = delete;
    DisplayLease &operator=(const DisplayLease &) = delete;

    // Takes the display without waiting; false when another start holds it or the lock file
    // cannot be made (then `error()` says why). Gives back a display held before.
    bool take(quint16 display);
    void release();

    bool isHeld() const { return descriptor >= 0; }
    quint16 display() const { return heldDisplay; }
    QString error() const { return failure; }

private:
    QString folder;
    int descriptor = -1;
    quint16 heldDisplay = 0;
    QString failure;
};

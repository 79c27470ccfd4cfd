#pragma once

#include <QFile>

// A file that can be locked exclusively against other processes with an advisory fcntl lock on the
// whole file, so that several writers appending to one log never mix their lines.
class LockedFile : public QFile
{
    Q_OBJECT

public:
    explicit LockedFile(QObject *parent = nullptr);
    ~LockedFile() override;

    bool lock();    // blocks until the lock is granted
    bool unlock();
    bool isLocked() const;

private:
    bool locked = false;
};

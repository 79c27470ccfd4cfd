#include "common/locked_file.h"

#include <cerrno>
#include <fcntl.h>

namespace {
bool setLock(int descriptor, short type, int command)
{
    struct flock request = {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0; // the whole file, however long it grows
    int result;
    do {
        result = ::fcntl(descriptor, command, &request);
    } while (result == -1 && errno == EINTR);
    return result == 0;
}
}

LockedFile::LockedFile(QObject *parent)
    : QFile(parent)
{
}

LockedFile::~LockedFile()
{
    if (locked) {
        unlock();
    }
}

bool LockedFile::lock()
{
    if (!isOpen() || locked) {
        return locked;
    }
    locked = setLock(handle(), F_WRLCK, F_SETLKW);
    return locked;
}

bool LockedFile::unlock()
{
    if (!isOpen() || !locked) {
        return false;
    }
    locked = !setLock(handle(), F_UNLCK, F_SETLK);
    return !locked;
}

bool LockedFile::isLocked() const
{
    return locked;
}

#include "server/session/display_lease.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

DisplayLease::DisplayLease(const QString &folder)
    : folder(folder)
{
}

DisplayLease::~DisplayLease()
{
    release();
}

bool DisplayLease::take(quint16 display)
{
    release();
    failure.clear();
    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        failure = QStringLiteral("Failed to create the directory \"%1\"").arg(folder);
        return false;
    }
    const QString path = QDir(folder).filePath(QStringLiteral("%1.lock").arg(display));
    // O_NOFOLLOW: a link planted in place of the lock file is refused, not followed; O_NONBLOCK and
    // the type check: a FIFO or device there never holds up the start.
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                    0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failure = QStringLiteral("Failed to open the file \"%1\": %2").arg(path, qt_error_string(errno));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        failure = QStringLiteral("The file \"%1\" is not a regular file").arg(path);
        ::close(fd);
        return false;
    }
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        if (errno != EWOULDBLOCK) {
            failure = QStringLiteral("Failed to lock the file \"%1\": %2").arg(path, qt_error_string(errno));
        }
        ::close(fd);
        return false;
    }
    descriptor = fd;
    heldDisplay = display;
    return true;
}

void DisplayLease::release()
{
    if (descriptor >= 0) {
        // The file stays: removing it could let a second start lock a new file of the same name
        // while a third still holds the old one.
        ::close(descriptor);
        descriptor = -1;
    }
}

#include "common/regular_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString systemError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}
}

RegularFile::~RegularFile()
{
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

bool RegularFile::open(const QString &path, QString &error)
{
    fileName = path;
    const QByteArray nativePath = QFile::encodeName(path);
    int opened;
    do {
        opened = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(path, systemError(errno));
        return false;
    }
    struct stat status;
    if (::fstat(opened, &status) != 0) {
        const int failure = errno;
        ::close(opened);
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(path, systemError(failure));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(opened);
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(path, QStringLiteral("Not a regular file"));
        return false;
    }
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    descriptor = opened;
    fileDevice = status.st_dev;
    fileInode = status.st_ino;
    fileSize = qint64(status.st_size);
    return true;
}

bool RegularFile::read(qint64 offset, qint64 maximumSize, QByteArray &data, QString &error) const
{
    if (descriptor < 0) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(fileName, QStringLiteral("Not open"));
        return false;
    }
    // What lies beyond the size seen at open() is left for a later read, so the buffer never
    // grows past the file, however large the bound.
    const qint64 wanted = qBound<qint64>(0, fileSize - offset, qMax<qint64>(0, maximumSize));
    QByteArray bytes;
    bytes.resize(qsizetype(wanted));
    qint64 received = 0;
    while (received < wanted) {
        const ssize_t got = ::pread(descriptor, bytes.data() + received, size_t(wanted - received),
                                    off_t(offset + received));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(fileName, systemError(errno));
            return false;
        }
        if (got == 0) {
            break;
        }
        received += got;
    }
    bytes.resize(qsizetype(received));
    data = bytes;
    return true;
}

#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// A regular file opened for reading in a way that can never stall the caller: the file is opened
// without blocking (a FIFO in its place would otherwise wait in open() for a writer) and refused
// unless it is a regular file, so that a FIFO, a device such as /dev/zero or a socket fails at once
// with a clear error instead of blocking or streaming without end. Every read is bounded by the
// caller. Symbolic links are followed; what counts is the file they lead to.
//
// One object per open; not shared between threads. Failures return false with one readable text in
// `error`; nothing is logged.
class RegularFile
{
public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;

    bool open(const QString &path, QString &error);

    // The file actually opened, as it was when it was opened.
    dev_t device() const { return fileDevice; }
    ino_t inode() const { return fileInode; }
    qint64 size() const { return fileSize; }

    // Reads up to `maximumSize` bytes from `offset`, never past the size the file had when it was
    // opened; fewer only at the end of the file.
    bool read(qint64 offset, qint64 maximumSize, QByteArray &data, QString &error) const;

private:
    QString fileName;
    int descriptor = -1;
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
    qint64 fileSize = 0;
};

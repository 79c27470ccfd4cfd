#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Remembers how far the agent's log has been read, so that every line takes effect exactly once:
// each read yields only the lines added since the previous one. An unchanged log costs one stat.
//
// A line counts once its line end is there (a line still being written waits for the next read), is
// delivered in pieces of at most 512 characters, and reading stops for good at the first empty line.
//
// Each read takes at most `readLimit` bytes, so a log that grows without end cannot hold its reader;
// what is left waits for the next read. A line that runs longer than `readLimit` bytes without its
// line end is taken in parts of exactly `readLimit` bytes, each a line of its own: the parts depend
// only on the log's content, never on when it was read. Only a regular file is read (see
// RegularFile): a FIFO or a device in the log's place fails at once.
class AgentLogCursor
{
public:
    static constexpr qint64 defaultReadLimit = 1024 * 1024;
    static constexpr int pieceLength = 512;

    explicit AgentLogCursor(qint64 readLimit = defaultReadLimit);

    // Puts the lines added since the previous read into `lines`. `fromStart` tells that they are the
    // log's first lines: the first read, the first after `rewind`, or a log that was replaced or got
    // shorter than what had been read. A read error part-way still delivers the lines before it.
    bool readNewLines(const QString &path, QStringList &lines, bool &fromStart, QString &error);

    // True while the log holds bytes beyond what the last read reached (the read limit cut it short).
    bool hasMore() const;

    // The next read starts again at the beginning of the log.
    void rewind();

private:
    struct FileIdentity
    {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 size = -1;

        bool isSameFile(const FileIdentity &other) const;
    };

    // Moves the complete lines at the front of `pending` into `lines`; true at the first empty line.
    bool takeCompleteLines(QByteArray &pending, QStringList &lines);

    qint64 readLimit;
    qint64 offset = 0;     // bytes of the log already turned into lines
    qint64 examined = 0;   // bytes of the log looked at: `offset` and the unfinished line after it
    FileIdentity seen;     // the log as it was at the previous read; size -1 before the first
    bool stopped = false;  // an empty line was met: nothing after it is read
};

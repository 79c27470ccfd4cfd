#include "server/session/agent_log_cursor.h"

#include "common/regular_file.h"

#include <QFile>

#include <sys/stat.h>

namespace {
// One log line, as the pieces in which it is applied. A line whose length is a multiple of the piece
// length yields no empty piece after it: that would read as the end of the log.
void appendPieces(const QString &line, QStringList &lines)
{
    for (qsizetype start = 0; start < line.size(); start += AgentLogCursor::pieceLength) {
        lines.append(line.mid(start, AgentLogCursor::pieceLength));
    }
}
}

AgentLogCursor::AgentLogCursor(qint64 readLimit)
    : readLimit(qMax<qint64>(1, readLimit))
{
}

bool AgentLogCursor::FileIdentity::isSameFile(const FileIdentity &other) const
{
    return device == other.device && inode == other.inode;
}

void AgentLogCursor::rewind()
{
    offset = 0;
    examined = 0;
    seen = FileIdentity();
    stopped = false;
}

bool AgentLogCursor::hasMore() const
{
    return !stopped && seen.size > examined;
}

bool AgentLogCursor::takeCompleteLines(QByteArray &pending, QStringList &lines)
{
    qsizetype start = 0;
    for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n', start)) {
        QByteArray bytes = pending.mid(start, end - start);
        if (bytes.endsWith('\r')) {
            bytes.chop(1);
        }
        offset += end + 1 - start;
        start = end + 1;
        if (bytes.isEmpty()) {
            pending.remove(0, start);
            return true;
        }
        appendPieces(QString::fromUtf8(bytes), lines);
    }
    pending.remove(0, start);
    return false;
}

bool AgentLogCursor::readNewLines(const QString &path, QStringList &lines, bool &fromStart, QString &error)
{
    lines.clear();
    fromStart = false;
    struct stat status;
    const QByteArray nativePath = QFile::encodeName(path);
    if (seen.size >= 0 && ::stat(nativePath.constData(), &status) == 0
        && seen.isSameFile({status.st_dev, status.st_ino, qint64(status.st_size)}) && seen.size == status.st_size
        && (stopped || examined >= seen.size)) {
        return true;
    }
    RegularFile file;
    if (!file.open(path, error)) {
        return false;
    }
    // The identity of the file actually opened, which may have been replaced since the stat above.
    const FileIdentity now{file.device(), file.inode(), file.size()};
    if (seen.size < 0 || !seen.isSameFile(now) || now.size < offset) {
        rewind();
        fromStart = true;
    }
    seen = now;
    if (stopped) {
        return true;
    }
    QByteArray pending;
    if (!file.read(offset, readLimit, pending, error)) {
        examined = offset;
        return false;
    }
    stopped = takeCompleteLines(pending, lines);
    if (!stopped && pending.size() == readLimit) {
        // Not one line end in a whole window: the line is taken as a part of `readLimit` bytes.
        offset += pending.size();
        appendPieces(QString::fromUtf8(pending), lines);
        pending.clear();
    }
    examined = offset + pending.size();
    return true;
}

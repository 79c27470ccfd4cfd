#include "server/session/agent_log_cursor.h"

#include <QFile>

#include <sys/stat.h>

namespace {
constexpr qint64 chunkSize = 65536;

// One log line, as the pieces in which it is applied. A line whose length is a multiple of the piece
// length yields no empty piece after it: that would read as the end of the log.
void appendPieces(const QString &line, QStringList &lines)
{
    for (qsizetype start = 0; start < line.size(); start += AgentLogCursor::pieceLength) {
        lines.append(line.mid(start, AgentLogCursor::pieceLength));
    }
}

QString readError(const QFile &file)
{
    return QStringLiteral("Failed to read from the file \"%1\": %2").arg(file.fileName(), file.errorString());
}
}

bool AgentLogCursor::FileIdentity::isSameFile(const FileIdentity &other) const
{
    return device == other.device && inode == other.inode;
}

void AgentLogCursor::rewind()
{
    offset = 0;
    seen = FileIdentity();
    stopped = false;
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
        && seen.isSameFile({status.st_dev, status.st_ino, qint64(status.st_size)}) && seen.size == status.st_size) {
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    // The identity of the file actually opened, which may have been replaced since the stat above.
    if (::fstat(file.handle(), &status) != 0) {
        error = readError(file);
        return false;
    }
    const FileIdentity now{status.st_dev, status.st_ino, qint64(status.st_size)};
    if (seen.size < 0 || !seen.isSameFile(now) || now.size < offset) {
        rewind();
        fromStart = true;
    }
    seen = now;
    if (stopped) {
        return true;
    }
    if (!file.seek(offset)) {
        error = readError(file);
        return false;
    }
    QByteArray pending;
    while (!stopped) {
        const QByteArray chunk = file.read(chunkSize);
        if (chunk.isEmpty()) {
            break;
        }
        pending += chunk;
        stopped = takeCompleteLines(pending, lines);
    }
    if (file.error() != QFileDevice::NoError) {
        error = readError(file);
        return false;
    }
    return true;
}

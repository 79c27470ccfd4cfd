// The agent's log, "server_log". The same content gives the same session fields whether it is read
// in one go or while it grows line by line, each line arriving in two writes with a read in between;
// and the client count never goes below 0. A cursor with a tiny read limit, which cuts over-long
// lines into parts, delivers the same lines whether the log is read whole or while it grows.

#include "fuzz_check.h"

#include "server/session/agent_log_cursor.h"
#include "server/session/session_runtime.h"

#include <QFile>
#include <QList>

#include <cstdint>

namespace {
// The cursors must see a file that grows in place: same inode, appended to.
class LogFile
{
public:
    explicit LogFile(const QString &path)
        : file(path)
    {
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    }
    void append(const QByteArray &bytes) { FUZZ_CHECK(file.write(bytes) == bytes.size()); }

private:
    QFile file;
};

bool sameFields(const SessionRuntime &a, const SessionRuntime &b)
{
    return a.started() == b.started() && a.lastConnect() == b.lastConnect()
        && a.lastDisconnect() == b.lastDisconnect() && a.clients() == b.clients() && a.passwords() == b.passwords()
        && a.screenSize() == b.screenSize();
}

// Reads until the cursor has caught up with the file.
void readAll(AgentLogCursor &cursor, const QString &path, QStringList &lines)
{
    do {
        QStringList added;
        bool fromStart = false;
        QString error;
        FUZZ_CHECK(cursor.readNewLines(path, added, fromStart, error));
        lines += added;
    } while (cursor.hasMore());
}

QList<QByteArray> splitAfterLineEnds(const QByteArray &content)
{
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (qsizetype end = content.indexOf('\n'); end >= 0; end = content.indexOf('\n', start)) {
        pieces << content.mid(start, end + 1 - start);
        start = end + 1;
    }
    if (start < content.size()) {
        pieces << content.mid(start);
    }
    return pieces;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> pieces = splitAfterLineEnds(content);
    const QString wholePath = fuzzScratchDirectory() + QStringLiteral("/whole_log");
    const QString growingPath = fuzzScratchDirectory() + QStringLiteral("/growing_log");
    QString error;

    {
        LogFile whole(wholePath);
        whole.append(content);
    }
    SessionRuntime once;
    FUZZ_CHECK(once.parseAgentLog(wholePath, error));
    FUZZ_CHECK(once.clients() >= 0);

    SessionRuntime growing;
    AgentLogCursor tinyWhole(7);
    AgentLogCursor tinyGrowing(7);
    QStringList tinyWholeLines;
    QStringList tinyGrowingLines;
    readAll(tinyWhole, wholePath, tinyWholeLines);
    LogFile log(growingPath);
    for (const QByteArray &piece : pieces) {
        const qsizetype half = piece.size() / 2;
        for (const QByteArray &part : {piece.left(half), piece.mid(half)}) {
            log.append(part);
            FUZZ_CHECK(growing.parseAgentLog(growingPath, error));
            FUZZ_CHECK(growing.clients() >= 0);
            readAll(tinyGrowing, growingPath, tinyGrowingLines);
        }
    }
    FUZZ_CHECK(sameFields(growing, once));
    FUZZ_CHECK(tinyGrowingLines == tinyWholeLines);
    return 0;
}

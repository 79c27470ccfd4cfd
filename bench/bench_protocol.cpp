// Measures the per-message costs that sit on the server's hot paths: cutting frames out of a
// receive buffer, and writing the session list that every update compares and sends.

#include "common/session_record.h"
#include "common/json_text.h"
#include "server/rpc/method_params.h"
#include "common/netstring.h"

#include <QElapsedTimer>
#include <QTextStream>

namespace {
QTextStream out(stdout);

void report(const char *what, qint64 count, qint64 nanoseconds)
{
    out << what << ": " << count << " in " << nanoseconds / 1000000.0 << " ms, "
        << double(nanoseconds) / double(count) << " ns each" << Qt::endl;
}

void decodeManySmallFrames()
{
    const QByteArray request = "{\"id\":7,\"jsonrpc\":\"2.0\",\"method\":\"Live.GetVersion\"}\n";
    constexpr int frames = 200000;
    QByteArray stream;
    for (int i = 0; i < frames; ++i) {
        stream += encodeNetString(request);
    }
    QElapsedTimer timer;
    timer.start();
    QByteArray message;
    QString error;
    int decoded = 0;
    // Frames arrive in reads of 64 KiB, as a busy connection delivers them.
    QByteArray buffer;
    for (qsizetype offset = 0; offset < stream.size(); offset += 65536) {
        buffer += stream.mid(offset, 65536);
        while (decodeNetString(buffer, message, error) == 0) {
            ++decoded;
        }
    }
    report("decode small frames", decoded, timer.nsecsElapsed());
}

void writeSessionLists()
{
    SessionRecordList records;
    for (int i = 0; i < 100; ++i) {
        SessionRecord record;
        record.setId(QString("%1").arg(i, 32, 16, QLatin1Char('0')));
        record.setLocation(QUrl("ssh://ann@box1:22/lumen_sci"));
        record.setWindowMode("desktop");
        record.setName("xterm");
        record.setStarted(QDateTime::currentDateTime());
        record.setPermissions({"connect", "terminate"});
        records << record;
    }
    constexpr int rounds = 2000;
    QElapsedTimer timer;
    timer.start();
    qsizetype bytes = 0;
    for (int i = 0; i < rounds; ++i) {
        Json::Value notification(Json::objectValue);
        notification["jsonrpc"] = "2.0";
        notification["method"] = "UpdateSessions";
        notification["params"] = recordListJson(records);
        bytes += encodeNetString(compactJson(notification)).size();
    }
    report("UpdateSessions frames of 100 sessions", rounds, timer.nsecsElapsed());
    out << "  frame size: " << bytes / rounds << " bytes" << Qt::endl;
}
}

int main()
{
    decodeManySmallFrames();
    writeSessionLists();
    return 0;
}

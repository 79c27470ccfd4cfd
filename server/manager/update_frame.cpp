#include "server/manager/update_frame.h"

#include "common/json_text.h"
#include "common/netstring.h"

QByteArray UpdateFrame::frameFor(const SessionRecordList &records)
{
    // The members in ascending order, as the writer puts them; "params" is null for an empty list.
    QByteArray message = "{\"jsonrpc\":\"2.0\",\"method\":\"UpdateSessions\",\"params\":";
    if (records.isEmpty()) {
        written.clear();
        message += "null}\n";
        return encodeNetString(message);
    }
    QHash<QString, WrittenRecord> next;
    next.reserve(records.size());
    message += '[';
    bool first = true;
    for (const SessionRecord &record : records) {
        auto found = written.constFind(record.id());
        if (found == written.constEnd() || !(found->record == record)) {
            QByteArray text = compactJson(record.toJson());
            text.chop(1); // the line end
            found = written.insert(record.id(), {record, text});
        }
        if (!first) {
            message += ',';
        }
        first = false;
        message += found->text;
        next.insert(record.id(), *found);
    }
    message += "]}\n";
    written.swap(next);
    return encodeNetString(message);
}

#pragma once

#include "common/session_record.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// Writes the "UpdateSessions" notification of a session list as one NetString frame, byte for byte
// what the JSON writer makes of the whole message. The text of each record is kept and used again as
// long as the record stays the same, so that an update of a thousand unchanged sessions copies text
// instead of writing JSON.
class UpdateFrame
{
public:
    QByteArray frameFor(const SessionRecordList &records);

private:
    struct WrittenRecord
    {
        SessionRecord record;
        QByteArray text; // compact, without a line end
    };

    QHash<QString, WrittenRecord> written; // by id, the records of the previous frame
};

// The session record as peers send it. Any JSON text is read as a record or refused, never an
// exit; a record that was read, written and read again is the same record, and writes the same text.

#include "fuzz_check.h"

#include "common/json_text.h"
#include "common/session_record.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    Json::Value value;
    if (!parseJson(text, value)) {
        return 0;
    }
    SessionRecord record;
    if (!SessionRecord::fromJson(value, record)) {
        return 0;
    }
    const QByteArray written = compactJson(record.toJson());
    Json::Value reread;
    FUZZ_CHECK(parseJson(written, reread));
    SessionRecord again;
    FUZZ_CHECK(SessionRecord::fromJson(reread, again));
    FUZZ_CHECK(again == record);
    FUZZ_CHECK(compactJson(again.toJson()) == written);
    return 0;
}

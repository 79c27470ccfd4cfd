// The discovery datagram. Any datagram is read as valid, invalid JSON or of the wrong shape, never
// an exit; a valid one names a usable port, and what it says survives being written and read again.

#include "fuzz_check.h"

#include "server/discovery/announcement.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    Announcement announcement;
    if (Announcement::read(datagram, announcement) != Announcement::Reading::Valid) {
        return 0;
    }
    FUZZ_CHECK(announcement.port >= 1);
    const QByteArray written = Announcement::write(announcement.method, announcement.port, announcement.user);
    Announcement again;
    FUZZ_CHECK(Announcement::read(written, again) == Announcement::Reading::Valid);
    FUZZ_CHECK(again.method == announcement.method);
    FUZZ_CHECK(again.port == announcement.port);
    FUZZ_CHECK(again.user == announcement.user);
    FUZZ_CHECK(Announcement::write(again.method, again.port, again.user) == written);
    return 0;
}

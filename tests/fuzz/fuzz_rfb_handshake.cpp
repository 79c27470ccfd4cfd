// The beginning of a VNC connection as the session sent it, read to learn whether a page in the
// browser was let in. The first input byte splits the rest into the host's and the viewer's bytes.
// Whatever the bytes, the reading ends within them, and once the host's bytes decide the outcome,
// more of them change nothing.

#include "fuzz_check.h"

#include "client/viewing/rfb_handshake.h"

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const qsizetype split = qsizetype(data[0]) * rest.size() / 255;
    const QByteArray fromHost = rest.left(split);
    const QByteArray fromViewer = rest.mid(split);

    QString reason;
    const RfbHandshake::Outcome whole = RfbHandshake::read(fromHost, fromViewer, reason);
    FUZZ_CHECK(reason.size() <= fromHost.size());
    FUZZ_CHECK(whole == RfbHandshake::Outcome::Refused || reason.isEmpty());
    for (qsizetype length = 0; length < fromHost.size(); ++length) {
        QString partReason;
        const RfbHandshake::Outcome part = RfbHandshake::read(fromHost.left(length), fromViewer, partReason);
        if (part != RfbHandshake::Outcome::Unknown) {
            FUZZ_CHECK(part == whole);
        }
    }
    return 0;
}

// NetString decoding. The first input byte decides how the rest, a received stream, is cut into
// reads. Fed read by read, the receiver must get the frames and the error that one whole decode
// gives, and every frame must be the encoding of its payload (one spelling per frame).

#include "fuzz_check.h"

#include "common/netstring.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace {
struct Received
{
    QList<QByteArray> frames;
    QString error;
    QByteArray rest;
};

// One read with everything when `cutSeed` is 0, else reads of 1 to 24 bytes.
Received receive(const QByteArray &stream, quint32 cutSeed)
{
    const bool whole = cutSeed == 0;
    Received received;
    QByteArray buffer;
    qsizetype at = 0;
    while (at < stream.size() && received.error.isEmpty()) {
        // A cheap generator, so that the cuts vary within one input too.
        cutSeed = cutSeed * 1103515245u + 12345u;
        const qsizetype chunk = whole ? stream.size() : 1 + qsizetype((cutSeed >> 16) % 24);
        buffer += stream.mid(at, chunk);
        at += chunk;
        QByteArray message;
        int outcome;
        while ((outcome = decodeNetString(buffer, message, received.error)) == 0) {
            received.frames << message;
        }
        FUZZ_CHECK(outcome == 1 || !received.error.isEmpty());
    }
    received.rest = buffer;
    return received;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const Received whole = receive(stream, 0);
    const Received chunked = receive(stream, data[0] + 1u);
    FUZZ_CHECK(chunked.frames == whole.frames);
    FUZZ_CHECK(chunked.error == whole.error);
    if (whole.error.isEmpty()) {
        FUZZ_CHECK(chunked.rest == whole.rest);
    }

    QByteArray encoded;
    for (const QByteArray &frame : whole.frames) {
        FUZZ_CHECK(frame.size() <= netStringPayloadLimit);
        encoded += encodeNetString(frame);
    }
    FUZZ_CHECK(stream.startsWith(encoded));
    if (whole.error.isEmpty()) {
        FUZZ_CHECK(encoded + whole.rest == stream);
    }
    return 0;
}

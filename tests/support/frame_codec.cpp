#include "tests/support/frame_codec.h"

FrameCodec::Frame FrameCodec::take(QByteArray &buffer, QByteArray &payload)
{
    const int colon = buffer.indexOf(':');
    if (colon < 0) {
        return buffer.size() > 5 ? Frame::Invalid : Frame::Incomplete;
    }
    const QByteArray prefix = buffer.left(colon);
    bool ok = !prefix.isEmpty();
    for (const char c : prefix) {
        ok = ok && c >= '0' && c <= '9';
    }
    const qint64 length = ok ? prefix.toLongLong(&ok) : -1;
    if (!ok) {
        return Frame::Invalid;
    }
    if (buffer.size() < colon + 1 + length + 1) {
        return Frame::Incomplete;
    }
    if (buffer.at(int(colon + 1 + length)) != ',') {
        return Frame::Invalid;
    }
    payload = buffer.mid(colon + 1, int(length));
    buffer.remove(0, int(colon + 1 + length + 1));
    return Frame::Complete;
}

QByteArray FrameCodec::encode(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

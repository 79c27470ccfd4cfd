#pragma once

#include <QByteArray>

// NetString frames as the test side writes and reads them. It is written apart from the server's
// codec, so that a fault shared by both ends cannot hide itself.
class FrameCodec
{
public:
    enum class Frame { Complete, Incomplete, Invalid };

    // Cuts the first frame off the front of the buffer. A length that is not all digits, or more
    // than five bytes without a colon, is Invalid.
    static Frame take(QByteArray &buffer, QByteArray &payload);
    static QByteArray encode(const QByteArray &payload);
};

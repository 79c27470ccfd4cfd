#include "common/netstring.h"

namespace {

// More bytes than this without a colon cannot start a frame whose length is within the limit.
int longestLengthPrefix(int limit)
{
    return int(QByteArray::number(limit).size());
}

// Only plain ASCII digits count: a sign, white space or an empty prefix marks a broken stream. So do
// leading zeros ("0" alone is the empty payload): with them a valid prefix could be longer than the
// bytes allowed before the colon, and a frame would pass or fail depending on how the stream was cut
// into reads.
bool parseLength(const QByteArray &prefix, int limit, int &length)
{
    if (prefix.isEmpty() || (prefix.size() > 1 && prefix.at(0) == '0')) {
        return false;
    }
    qint64 value = 0;
    for (const char digit : prefix) {
        if (digit < '0' || digit > '9') {
            return false;
        }
        value = value * 10 + (digit - '0');
        if (value > limit) {
            return false;
        }
    }
    length = int(value);
    return true;
}

} // namespace

int decodeNetString(QByteArray &buffer, QByteArray &message, QString &error, int limit)
{
    const int colon = buffer.indexOf(':');
    if (colon < 0) {
        if (buffer.size() > longestLengthPrefix(limit)) {
            error = QStringLiteral("Invalid NetString length");
            return -1;
        }
        return 1;
    }

    // The length is judged as soon as the prefix is complete, so an oversized announcement is
    // refused before its payload is buffered.
    int length = 0;
    if (!parseLength(buffer.left(colon), limit, length)) {
        error = QStringLiteral("Invalid NetString length");
        return -1;
    }

    const qint64 frameEnd = qint64(colon) + 1 + length + 1;
    if (buffer.size() < frameEnd) {
        return 1;
    }
    if (buffer.at(colon + 1 + length) != ',') {
        error = QStringLiteral("Missing NetString comma");
        return -1;
    }

    message = buffer.mid(colon + 1, length);
    buffer.remove(0, int(frameEnd));
    return 0;
}

QByteArray encodeNetString(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

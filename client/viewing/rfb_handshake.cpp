#include "client/viewing/rfb_handshake.h"

#include <QtEndian>

namespace {

constexpr int versionLength = 12;
constexpr quint8 securityNone = 1;
constexpr quint8 securityVncAuth = 2;
constexpr int challengeLength = 16;

// Reads the host's bytes in order; every read fails once they run out.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : bytes(bytes)
    {
    }

    bool skip(int count)
    {
        if (bytes.size() - position < count) {
            return false;
        }
        position += count;
        return true;
    }

    bool byte(quint8 &value)
    {
        if (!skip(1)) {
            return false;
        }
        value = quint8(bytes.at(position - 1));
        return true;
    }

    bool word(quint32 &value)
    {
        if (!skip(4)) {
            return false;
        }
        value = qFromBigEndian<quint32>(bytes.constData() + position - 4);
        return true;
    }

    // A reason as RFB sends one: its length, then its text; what arrived of it when cut short.
    QString text()
    {
        quint32 length = 0;
        if (!word(length)) {
            return QString();
        }
        const QByteArray reason = bytes.mid(position, int(qMin<quint32>(length, quint32(bytes.size() - position))));
        position += reason.size();
        return QString::fromLatin1(reason).simplified();
    }

private:
    const QByteArray &bytes;
    int position = 0;
};

// After the security handshake: 0 lets the viewer in.
RfbHandshake::Outcome securityResult(Reader &host, int minor, QString &reason)
{
    quint32 result = 0;
    if (!host.word(result)) {
        return RfbHandshake::Outcome::Unknown;
    }
    if (result == 0) {
        return RfbHandshake::Outcome::Accepted;
    }
    if (minor >= 8) {
        reason = host.text();
    }
    return RfbHandshake::Outcome::Refused;
}

} // namespace

RfbHandshake::Outcome RfbHandshake::read(const QByteArray &fromHost, const QByteArray &fromViewer, QString &reason)
{
    reason.clear();
    if (fromHost.size() < versionLength || !fromHost.startsWith("RFB 003.")) {
        return Outcome::Unknown;
    }
    const int minor = fromHost.mid(8, 3).toInt();
    Reader host(fromHost);
    host.skip(versionLength);
    quint8 chosen = 0;
    if (minor >= 7) {
        quint8 count = 0;
        if (!host.byte(count)) {
            return Outcome::Unknown;
        }
        if (count == 0) {
            reason = host.text();
            return Outcome::Refused;
        }
        // The viewer's choice follows its own version line.
        if (!host.skip(count) || fromViewer.size() <= versionLength) {
            return Outcome::Unknown;
        }
        chosen = quint8(fromViewer.at(versionLength));
    } else {
        quint32 type = 0;
        if (!host.word(type)) {
            return Outcome::Unknown;
        }
        if (type == 0) {
            reason = host.text();
            return Outcome::Refused;
        }
        chosen = quint8(type);
    }
    if (chosen == securityNone) {
        return minor >= 8 ? securityResult(host, minor, reason) : Outcome::Accepted;
    }
    if (chosen == securityVncAuth && host.skip(challengeLength)) {
        return securityResult(host, minor, reason);
    }
    return Outcome::Unknown;
}

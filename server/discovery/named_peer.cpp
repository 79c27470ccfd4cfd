#include "server/discovery/named_peer.h"

namespace {

// Letters, digits, '-', '_' and '.', as host names and dotted addresses are written; anything else
// (white space, a scheme, a path) is a typing error that should show at start-up.
bool isHostText(const QString &host)
{
    if (host.isEmpty() || host.size() > 253) {
        return false;
    }
    for (const QChar c : host) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_')
            && c != QLatin1Char('.')) {
            return false;
        }
    }
    return true;
}

} // namespace

bool NamedPeer::parse(const QString &entry, quint16 defaultPort, NamedPeer &peer, QString &error)
{
    const QString text = entry.trimmed();
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    NamedPeer parsed;
    parsed.host = colon < 0 ? text : text.left(colon);
    parsed.port = defaultPort;
    if (!isHostText(parsed.host)) {
        error = QStringLiteral("\"%1\" is not a host name or IPv4 address, optionally followed by a port").arg(text);
        return false;
    }
    if (colon >= 0) {
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok, 10);
        if (!ok || port == 0 || port > 65535) {
            error = QStringLiteral("\"%1\" has no port between 1 and 65535 after the colon").arg(text);
            return false;
        }
        parsed.port = quint16(port);
    }
    peer = parsed;
    return true;
}

bool NamedPeer::parseList(const QStringList &entries, quint16 defaultPort, QList<NamedPeer> &peers, QString &error)
{
    if (entries.size() > limit) {
        error = QStringLiteral("%1 entries, more than the %2 allowed").arg(entries.size()).arg(limit);
        return false;
    }
    QList<NamedPeer> parsed;
    for (const QString &entry : entries) {
        NamedPeer peer;
        if (!parse(entry, defaultPort, peer, error)) {
            return false;
        }
        if (!parsed.contains(peer)) {
            parsed << peer;
        }
    }
    peers = parsed;
    return true;
}

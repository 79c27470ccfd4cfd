#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One host of the "Peers" setting: where announcements go besides the broadcast, for hosts that a
// broadcast does not reach (another subnet, a network without broadcast).
struct NamedPeer
{
    // At most this many entries: each one costs a datagram and a name lookup per announcement.
    static constexpr int limit = 1024;

    QString host; // a host name or an IPv4 address
    quint16 port = 0;

    // "host" or "host:port"; without a port, `defaultPort`.
    static bool parse(const QString &entry, quint16 defaultPort, NamedPeer &peer, QString &error);
    // Every entry, in order; the first bad one fails the whole list with its reason.
    static bool parseList(const QStringList &entries, quint16 defaultPort, QList<NamedPeer> &peers, QString &error);

    bool operator==(const NamedPeer &other) const { return host == other.host && port == other.port; }
};

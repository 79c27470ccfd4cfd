#pragma once

#include "server/discovery/host_addresses.h"
#include "server/discovery/named_peer.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Where announcements go one by one, besides the broadcast: the hosts of the "Peers" setting at the
// addresses their names last resolved to, and the hosts that announced themselves to this server
// directly ("learned"), for as long as they keep doing so. The settings file is usually shared by
// every host, so addresses of this very host are left out. Main thread only.
class UnicastTargets
{
public:
    // A learned host stays as long as its peer table entry would: until it has been silent that long.
    static constexpr qint64 learnedLifetimeMs = 400 * 1000;
    // Anyone can send a datagram, so at most this many hosts are learned at a time.
    static constexpr int learnedLimit = 256;

    struct Target
    {
        QHostAddress address;
        quint16 port = 0;
        bool operator==(const Target &other) const { return address == other.address && port == other.port; }
        friend size_t qHash(const Target &target, size_t seed = 0) { return qHashMulti(seed, target.address, target.port); }
    };

    // Entries that are addresses count at once; names wait for `setResolved`.
    void setNamed(const QList<NamedPeer> &peers, const HostAddresses &own);
    // The entries that are names and need a lookup.
    QStringList names() const;
    // Records what a name resolves to now; returns the targets that are new with it.
    QList<Target> setResolved(const QString &name, const QList<QHostAddress> &addresses, const HostAddresses &own);

    // A host that announced itself directly; false when there is no room for one more.
    bool learn(const QHostAddress &address, quint16 port, qint64 nowMs);
    // The host stopped answering: no more announcements to it until it speaks again.
    void forget(const QHostAddress &address);

    // Every target once; learned hosts that fell silent are dropped first.
    QList<Target> all(qint64 nowMs);
    // The named hosts alone, at the addresses their names last resolved to.
    QList<Target> namedTargets() const;

private:
    struct Learned
    {
        Target target;
        qint64 untilMs = 0;
    };

    static QList<QHostAddress> withoutOwn(const QList<QHostAddress> &addresses, const HostAddresses &own);

    QList<NamedPeer> named;
    QHash<QString, QList<QHostAddress>> addressesOf; // by entry host: a name's last answer, or the address itself
    QHash<QString, Learned> learned;                 // by "address:port"
};

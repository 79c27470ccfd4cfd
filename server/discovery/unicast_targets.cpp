#include "server/discovery/unicast_targets.h"

namespace {

QString learnedKey(const QHostAddress &address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

void UnicastTargets::setNamed(const QList<NamedPeer> &peers, const HostAddresses &own)
{
    named = peers;
    addressesOf.clear();
    for (const NamedPeer &peer : peers) {
        const QHostAddress address(peer.host);
        if (address.protocol() == QHostAddress::IPv4Protocol) {
            addressesOf.insert(peer.host, withoutOwn({address}, own));
        }
    }
}

QStringList UnicastTargets::names() const
{
    QStringList found;
    for (const NamedPeer &peer : named) {
        if (QHostAddress(peer.host).protocol() != QHostAddress::IPv4Protocol && !found.contains(peer.host)) {
            found << peer.host;
        }
    }
    return found;
}

QList<UnicastTargets::Target> UnicastTargets::setResolved(const QString &name, const QList<QHostAddress> &addresses,
                                                          const HostAddresses &own)
{
    const QList<QHostAddress> before = addressesOf.value(name);
    const QList<QHostAddress> after = withoutOwn(addresses, own);
    addressesOf.insert(name, after);
    QList<Target> added;
    for (const NamedPeer &peer : named) {
        if (peer.host != name) {
            continue;
        }
        for (const QHostAddress &address : after) {
            const Target target{address, peer.port};
            if (!before.contains(address) && !added.contains(target)) {
                added << target;
            }
        }
    }
    return added;
}

bool UnicastTargets::learn(const QHostAddress &address, quint16 port, qint64 nowMs)
{
    const QString key = learnedKey(address, port);
    if (!learned.contains(key) && learned.size() >= learnedLimit) {
        learned.removeIf([nowMs](const auto &entry) { return entry.value().untilMs <= nowMs; });
        if (learned.size() >= learnedLimit) {
            return false;
        }
    }
    learned.insert(key, Learned{Target{address, port}, nowMs + learnedLifetimeMs});
    return true;
}

void UnicastTargets::forget(const QHostAddress &address)
{
    learned.removeIf([&address](const auto &entry) { return entry.value().target.address == address; });
}

QList<UnicastTargets::Target> UnicastTargets::all(qint64 nowMs)
{
    learned.removeIf([nowMs](const auto &entry) { return entry.value().untilMs <= nowMs; });
    QList<Target> targets;
    QSet<Target> seen;
    const auto add = [&](const Target &target) {
        if (!seen.contains(target)) {
            seen.insert(target);
            targets << target;
        }
    };
    for (const NamedPeer &peer : std::as_const(named)) {
        for (const QHostAddress &address : addressesOf.value(peer.host)) {
            add(Target{address, peer.port});
        }
    }
    for (const Learned &entry : std::as_const(learned)) {
        add(entry.target);
    }
    return targets;
}

QList<UnicastTargets::Target> UnicastTargets::namedTargets() const
{
    QList<Target> targets;
    for (const NamedPeer &peer : named) {
        for (const QHostAddress &address : addressesOf.value(peer.host)) {
            const Target target{address, peer.port};
            if (!targets.contains(target)) {
                targets << target;
            }
        }
    }
    return targets;
}

QList<QHostAddress> UnicastTargets::withoutOwn(const QList<QHostAddress> &addresses, const HostAddresses &own)
{
    QList<QHostAddress> kept;
    for (const QHostAddress &address : addresses) {
        if (!own.contains(address)) {
            kept << address;
        }
    }
    return kept;
}

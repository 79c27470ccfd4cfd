#include "server/discovery/host_addresses.h"

#include <QNetworkInterface>

namespace {

bool holds(const QList<QHostAddress> &addresses, const QHostAddress &address)
{
    for (const QHostAddress &candidate : addresses) {
        // Tolerant: an IPv4 sender may be reported as ::ffff:a.b.c.d by a dual-stack socket.
        if (candidate.isEqual(address, QHostAddress::TolerantConversion)) {
            return true;
        }
    }
    return false;
}

} // namespace

HostAddresses::HostAddresses()
    : askInterfaces(true)
{
}

HostAddresses::HostAddresses(const QList<QHostAddress> &fixed)
    : askInterfaces(false)
    , own(fixed)
{
}

bool HostAddresses::contains(const QHostAddress &address) const
{
    refresh();
    return holds(own, address);
}

bool HostAddresses::isBroadcast(const QHostAddress &address) const
{
    if (address.isBroadcast()) {
        return true;
    }
    refresh();
    return !address.isNull() && holds(broadcasts, address);
}

void HostAddresses::refresh() const
{
    if (!askInterfaces || (lookedAt.isValid() && lookedAt.elapsed() < refreshMs)) {
        return;
    }
    own.clear();
    broadcasts.clear();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            own << entry.ip();
            if (!entry.broadcast().isNull()) {
                broadcasts << entry.broadcast();
            }
        }
    }
    lookedAt.start();
}

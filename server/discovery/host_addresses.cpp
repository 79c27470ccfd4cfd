#include "server/discovery/host_addresses.h"

#include <QNetworkInterface>

HostAddresses::HostAddresses()
    : askInterfaces(true)
{
}

HostAddresses::HostAddresses(const QList<QHostAddress> &fixed)
    : askInterfaces(false)
    , fixed(fixed)
{
}

bool HostAddresses::contains(const QHostAddress &address) const
{
    const QList<QHostAddress> own = askInterfaces ? QNetworkInterface::allAddresses() : fixed;
    for (const QHostAddress &candidate : own) {
        // Tolerant: an IPv4 sender may be reported as ::ffff:a.b.c.d by a dual-stack socket.
        if (candidate.isEqual(address, QHostAddress::TolerantConversion)) {
            return true;
        }
    }
    return false;
}

bool HostAddresses::isBroadcast(const QHostAddress &address) const
{
    if (address.isBroadcast()) {
        return true;
    }
    if (!askInterfaces || address.isNull()) {
        return false;
    }
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.broadcast().isEqual(address, QHostAddress::TolerantConversion)) {
                return true;
            }
        }
    }
    return false;
}

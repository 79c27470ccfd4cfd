#pragma once

#include <QHostAddress>
#include <QList>

// Tells whether a datagram's sender is this very host. By default the answer comes from the
// network interfaces as they are at the moment of asking, since addresses come and go while the
// server runs; a fixed set replaces them where the interfaces must not decide (tests on loopback).
class HostAddresses
{
public:
    HostAddresses();
    explicit HostAddresses(const QList<QHostAddress> &fixed);

    bool contains(const QHostAddress &address) const;
    // Whether a datagram sent to this address was a broadcast: the limited broadcast address, or
    // (with the interfaces asked) the broadcast address of one of the host's networks.
    bool isBroadcast(const QHostAddress &address) const;

private:
    bool askInterfaces;
    QList<QHostAddress> fixed;
};

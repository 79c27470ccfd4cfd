#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>

// Tells whether a datagram's sender is this very host. By default the answer comes from the
// network interfaces as they are, looked at again at most once a second (every datagram asks, and
// asking the system costs more than a datagram), since addresses come and go while the server
// runs; a fixed set replaces them where the interfaces must not decide (tests on loopback).
class HostAddresses
{
public:
    static constexpr qint64 refreshMs = 1000;

    HostAddresses();
    explicit HostAddresses(const QList<QHostAddress> &fixed);

    bool contains(const QHostAddress &address) const;
    // Whether a datagram sent to this address was a broadcast: the limited broadcast address, or
    // (with the interfaces asked) the broadcast address of one of the host's networks.
    bool isBroadcast(const QHostAddress &address) const;

private:
    // With the interfaces asked: brings the addresses up to date when they are older than refreshMs.
    void refresh() const;

    bool askInterfaces;
    mutable QList<QHostAddress> own;
    mutable QList<QHostAddress> broadcasts;
    mutable QElapsedTimer lookedAt;
};

#pragma once

#include "client/host/host_target.h"
#include "client/host/program_call.h"

// The programs that reach a host: its relay, and a forward of one TCP connection to a port on the
// host's loopback. Both go through the user's ssh command (with its options) unless the host is
// local. With a control path, the relay's ssh becomes the master of a shared connection that the
// forwards use, so the user authenticates once.
class HostCommands
{
public:
    HostCommands(const QStringList &sshCommand, const HostTarget &target, const QString &controlPath);

    ProgramCall relay() const;
    // Not for a local host: a local viewer connects to the port itself.
    ProgramCall forward(quint16 port) const;
    // For the user to run by hand: the user's own ssh command, forwarding `localPort` on this
    // machine's loopback to `port` on the host's until interrupted. Not for a local host.
    ProgramCall portForward(quint16 localPort, quint16 port) const;

private:
    QStringList sshOptions(bool master) const;
    QStringList userOptions() const;

    QStringList ssh;
    HostTarget target;
    QString controlPath;
};

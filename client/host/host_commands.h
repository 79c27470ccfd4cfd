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
    // One command line for the host's login shell, with its input from the caller, through the
    // relay's connection when it still runs (else a connection of its own). For a local host: sh.
    ProgramCall shell(const QString &commandLine) const;

    // Reaches this host through `hop` (the host the user named) instead of straight: every ssh
    // connection here is carried by one of the hop's, riding the hop's master while it runs.
    void setHop(const HostCommands &hop);

private:
    QStringList sshOptions(bool master) const;
    QStringList userOptions() const;
    // ssh's ProxyCommand through the hop; `throughMaster` for lumen's own connections, not for a
    // command the user runs after lumen has ended.
    QStringList hopOptions(bool throughMaster) const;

    QStringList ssh;
    HostTarget target;
    QString controlPath;
    // The hop's ssh command, options and destination, and its master's control path.
    QStringList hopSsh;
    QString hopDestination;
    QString hopControlPath;
};

#include "client/host/host_commands.h"

namespace {

// Unless the user's own options say otherwise: an unreachable host is reported within this many
// seconds instead of after the system's TCP time-out.
const QString connectTimeout = QStringLiteral("ConnectTimeout=10");

} // namespace

HostCommands::HostCommands(const QStringList &sshCommand, const HostTarget &target, const QString &controlPath)
    : ssh(sshCommand.isEmpty() ? QStringList{QStringLiteral("ssh")} : sshCommand)
    , target(target)
    , controlPath(controlPath)
{
}

ProgramCall HostCommands::relay() const
{
    if (target.isLocal()) {
        return {target.relayProgram(), {}};
    }
    QStringList arguments = sshOptions(true);
    // No terminal: the relay's standard input and output carry the frames.
    arguments << QStringLiteral("-T") << target.sshDestination() << target.relayProgram();
    return {ssh.first(), arguments};
}

ProgramCall HostCommands::forward(quint16 port) const
{
    QStringList arguments = sshOptions(false);
    arguments << QStringLiteral("-W") << QStringLiteral("127.0.0.1:%1").arg(port) << target.sshDestination();
    return {ssh.first(), arguments};
}

ProgramCall HostCommands::portForward(quint16 localPort, quint16 port) const
{
    QStringList arguments = userOptions();
    arguments << QStringLiteral("-N") << QStringLiteral("-o") << QStringLiteral("ExitOnForwardFailure=yes")
              << QStringLiteral("-L") << QStringLiteral("%1:127.0.0.1:%2").arg(localPort).arg(port)
              << target.sshDestination();
    return {ssh.first(), arguments};
}

// ssh keeps the first value it sees of an option: what the client relies on comes before the
// user's options, the defaults that the user may change after them.
QStringList HostCommands::sshOptions(bool master) const
{
    QStringList arguments;
    if (!controlPath.isEmpty()) {
        arguments << QStringLiteral("-o") << QStringLiteral("ControlPath=") + controlPath;
        arguments << QStringLiteral("-o") << (master ? QStringLiteral("ControlMaster=yes") : QStringLiteral("ControlMaster=no"));
        if (master) {
            arguments << QStringLiteral("-o") << QStringLiteral("ControlPersist=no");
        }
    }
    return arguments + userOptions();
}

QStringList HostCommands::userOptions() const
{
    QStringList arguments;
    if (target.sshPort() != 0) {
        arguments << QStringLiteral("-p") << QString::number(target.sshPort());
    }
    arguments << ssh.mid(1);
    arguments << QStringLiteral("-o") << connectTimeout;
    return arguments;
}

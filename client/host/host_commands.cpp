#include "client/host/host_commands.h"

#include "client/command_line/shell_words.h"

namespace {

// Unless the user's own options say otherwise: an unreachable host is reported within this many
// seconds instead of after the system's TCP time-out.
const QString connectTimeout = QStringLiteral("ConnectTimeout=10");

// ssh expands % in a ProxyCommand; every % of the words is meant as it is.
QString proxyWord(const QString &word)
{
    QString escaped = word;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return shellWord(escaped);
}

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
    QStringList arguments = hopOptions(false) + userOptions();
    arguments << QStringLiteral("-N") << QStringLiteral("-o") << QStringLiteral("ExitOnForwardFailure=yes")
              << QStringLiteral("-L") << QStringLiteral("%1:127.0.0.1:%2").arg(localPort).arg(port)
              << target.sshDestination();
    return {ssh.first(), arguments};
}

ProgramCall HostCommands::shell(const QString &commandLine) const
{
    if (target.isLocal()) {
        return {QStringLiteral("sh"), {QStringLiteral("-c"), commandLine}};
    }
    QStringList arguments;
    if (!controlPath.isEmpty()) {
        // Through the master while it runs; without it (ended by Ctrl+C, say) ssh connects itself.
        arguments << QStringLiteral("-o") << QStringLiteral("ControlPath=") + controlPath << QStringLiteral("-o")
                  << QStringLiteral("ControlMaster=no");
    }
    arguments << hopOptions(true) << userOptions();
    arguments << QStringLiteral("-T") << target.sshDestination() << commandLine;
    return {ssh.first(), arguments};
}

void HostCommands::setHop(const HostCommands &hop)
{
    if (target.isLocal() || hop.target.isLocal()) {
        return;
    }
    hopSsh = QStringList{hop.ssh.first()} + hop.userOptions();
    hopDestination = hop.target.sshDestination();
    hopControlPath = hop.controlPath;
}

// Not ssh -J, which hands the jump neither -i nor -o: the hop gets the user's whole ssh command.
QStringList HostCommands::hopOptions(bool throughMaster) const
{
    if (hopDestination.isEmpty()) {
        return {};
    }
    QStringList words;
    for (const QString &word : hopSsh) {
        words << proxyWord(word);
    }
    if (throughMaster && !hopControlPath.isEmpty()) {
        words << QStringLiteral("-o") << proxyWord(QStringLiteral("ControlPath=") + hopControlPath) << QStringLiteral("-o")
              << QStringLiteral("ControlMaster=no");
    }
    words << QStringLiteral("-W") << QStringLiteral("%h:%p") << proxyWord(hopDestination);
    return {QStringLiteral("-o"), QStringLiteral("ProxyCommand=") + words.join(QLatin1Char(' '))};
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
    return arguments + hopOptions(true) + userOptions();
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

#include "client/viewing/ticket_printer.h"

#include "client/command_line/console.h"
#include "client/command_line/shell_words.h"
#include "client/host/rpc_connection.h"

#include <QTcpServer>

namespace {

// `preferred` when nothing on this machine's loopback listens on it, else a port that is free now.
quint16 freeLocalPort(quint16 preferred)
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHost, preferred) || probe.listen(QHostAddress::LocalHost, 0)) {
        return probe.serverPort();
    }
    return preferred;
}

} // namespace

void TicketPrinter::start(const SessionView &view)
{
    const RpcConnection &owner = *view.owner;
    const quint16 port = view.ticket.port();
    Console::print(QStringLiteral("session   %1\nhost      %2\nport      %3\npassword  %4")
                       .arg(view.sessionId, owner.target().name())
                       .arg(port)
                       .arg(view.ticket.password()));
    if (owner.target().isLocal()) {
        Console::progress(QStringLiteral("The password works once: vncviewer localhost::%1").arg(port));
    } else {
        // A port on this machine's loopback (the session's own number when it is free here),
        // carried through the user's own ssh command.
        const quint16 localPort = freeLocalPort(port);
        const ProgramCall tunnel = owner.hostCommands().portForward(localPort, port);
        Console::progress(QStringLiteral("The password works once. The port listens on the host's loopback; "
                                         "reach it through ssh:\n  %1\nand meanwhile, in another shell:\n"
                                         "  vncviewer localhost::%2")
                              .arg(shellCommand(QStringList{tunnel.program} + tunnel.arguments))
                              .arg(localPort));
    }
    // Handed out: what the user does with it is the user's affair.
    markShown();
    markEnded();
}

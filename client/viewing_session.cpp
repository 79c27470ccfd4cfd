#include "client/viewing_session.h"

#include "client/console.h"
#include "client/interrupt_watcher.h"
#include "client/rpc_connection.h"
#include "client/viewer_process.h"
#include "client/viewer_tunnel.h"

#include <QEventLoop>

ViewingSession::ViewingSession(const QStringList &viewerCommand, QObject *parent)
    : QObject(parent)
    , viewerCommand(viewerCommand)
{
}

bool ViewingSession::run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
                         const QString &userHost, QString &error)
{
    const QString host = owner.target().name();
    const QString shortId = sessionId.left(8);
    // A session on this machine is reached on the loopback itself, any other through ssh.
    const ProgramCall forward = owner.target().isLocal() ? ProgramCall() : owner.hostCommands().forward(ticket.port());
    ViewerTunnel tunnel(forward, ticket.port());
    if (!tunnel.listen(error)) {
        return false;
    }
    ViewerProcess viewer(viewerCommand);
    InterruptWatcher interrupts;
    QEventLoop loop;
    int viewerStatus = 0;
    bool interrupted = false;
    bool ended = false;
    connect(&viewer, &ViewerProcess::finished, &loop, [&](int status) {
        viewerStatus = status;
        ended = true;
        loop.quit();
    });
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, [&] {
        interrupted = true;
        ended = true;
        loop.quit();
    });
    connect(&tunnel, &ViewerTunnel::connectionClosedByHost, &loop, [&](const QString &detail) {
        QString message = QStringLiteral("%1 closed the viewer's connection to session %2: the session was "
                                         "suspended or taken over from elsewhere, or it ended. To get in again: "
                                         "lumen %3 attach %2")
                              .arg(host, shortId, userHost);
        if (!detail.isEmpty()) {
            message += QStringLiteral("\nssh said: ") + detail;
        }
        Console::error(message);
    });

    Console::progress(QStringLiteral("Opening the viewer on session %1 on %2...").arg(shortId, host));
    viewer.start(tunnel.port(), ticket.password());
    if (!ended) {
        loop.exec();
    }

    viewer.stop();
    tunnel.close();
    owner.close();
    if (viewerStatus < 0 && !interrupted) {
        error = QStringLiteral("The viewer could not be started.");
        return false;
    }
    const QString how = viewerStatus > 0 && !interrupted ? QStringLiteral(" (status %1)").arg(viewerStatus) : QString();
    Console::progress(QStringLiteral("The viewer is closed%3; session %1 goes on. To get in again: lumen %2 attach %1")
                          .arg(shortId, userHost, how));
    return true;
}

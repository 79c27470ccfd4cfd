#include "client/viewing/browser_viewing.h"

#include "client/viewing/browser_opener.h"
#include "client/command_line/console.h"
#include "client/command_line/interrupt_watcher.h"
#include "client/host/rpc_connection.h"
#include "client/host/viewer_tunnel.h"
#include "client/viewing/web_bridge.h"

#include <QEventLoop>

BrowserViewing::BrowserViewing(QObject *parent)
    : QObject(parent)
{
}

bool BrowserViewing::run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
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
    WebBridge bridge;
    InterruptWatcher interrupts;
    QEventLoop loop;
    QString problem;
    bool ended = false;
    connect(&bridge, &WebBridge::ended, &loop, [&](const QString &why) {
        problem = why;
        ended = true;
        loop.quit();
    });
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, [&] {
        ended = true;
        loop.quit();
    });
    connect(&tunnel, &ViewerTunnel::connectionClosedByHost, &loop, [&](const QString &detail) {
        QString message = QStringLiteral("%1 closed the browser's connection to session %2: the session was "
                                         "suspended or taken over from elsewhere, or it ended. To get in again: "
                                         "lumen %3 attach --browser %2")
                              .arg(host, shortId, userHost);
        if (!detail.isEmpty()) {
            message += QStringLiteral("\nssh said: ") + detail;
        }
        Console::error(message);
    });
    if (!bridge.start(tunnel.port(), error)) {
        return false;
    }

    const QString address = bridge.pageAddress(ticket.password());
    Console::progress(QStringLiteral("Showing session %1 on %2 in the browser at this address (it works once; "
                                     "Ctrl+C ends):")
                          .arg(shortId, host));
    Console::print(address);
    QString notOpened;
    if (!BrowserOpener::open(address, notOpened)) {
        Console::progress(QStringLiteral("Open it in a browser: %1.").arg(notOpened));
    }
    if (!ended) {
        loop.exec();
    }

    bridge.stop();
    tunnel.close();
    owner.close();
    if (!problem.isEmpty()) {
        error = problem;
        return false;
    }
    Console::progress(QStringLiteral("The browser view has ended; session %1 goes on. To get in again: "
                                     "lumen %2 attach --browser %1")
                          .arg(shortId, userHost));
    return true;
}

#include "client/viewing/viewing_session.h"

#include "client/command_line/console.h"
#include "client/command_line/interrupt_watcher.h"
#include "client/host/rpc_connection.h"
#include "client/sessions/session_entry.h"
#include "client/viewing/viewer_process.h"
#include "client/host/viewer_tunnel.h"

#include <QEventLoop>

namespace {

// A session being ended holds its host's answer until the end is done: up to this long.
constexpr int sessionCheckTimeoutMs = 30000;

} // namespace

ViewingSession::ViewingSession(const QStringList &viewerCommand, InterruptWatcher &interrupts, QObject *parent)
    : QObject(parent)
    , viewerCommand(viewerCommand)
    , interrupts(interrupts)
{
}

ClientError ViewingSession::run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
                                const QString &userHost)
{
    const QString host = owner.target().name();
    const QString shortId = sessionId.left(8);
    // A session on this machine is reached on the loopback itself, any other through ssh.
    const ProgramCall forward = owner.target().isLocal() ? ProgramCall() : owner.hostCommands().forward(ticket.port());
    ViewerTunnel tunnel(forward, ticket.port());
    QString problem;
    if (!tunnel.listen(problem)) {
        return ClientError(ClientError::Usage, problem);
    }
    ViewerProcess viewer(viewerCommand);
    QEventLoop loop;
    bool interrupted = false;
    bool closedByHost = false;
    connect(&viewer, &ViewerProcess::finished, &loop, &QEventLoop::quit);
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, [&] {
        interrupted = true;
        loop.quit();
    });
    connect(&tunnel, &ViewerTunnel::connectionClosedByHost, &loop, [&] { closedByHost = true; });

    Console::progress(QStringLiteral("Opening the viewer on session %1 on %2...").arg(shortId, host));
    viewer.start(tunnel.port(), ticket.password());
    if (!interrupted && viewer.isRunning()) {
        loop.exec();
    }
    viewer.stop();
    tunnel.close();

    const QString again = QStringLiteral("To get in again: lumen %1 attach %2").arg(userHost, shortId);
    if (interrupted) {
        owner.close();
        Console::progress(QStringLiteral("The viewer is closed; session %1 goes on. %2").arg(shortId, again));
        return ClientError();
    }
    switch (viewer.ending()) {
    case ViewerProcess::Ending::NotStarted:
        owner.close();
        return ClientError(ClientError::Usage,
                           QStringLiteral("The viewer \"%1\" could not be started: %2").arg(viewer.program(), viewer.reason()));
    case ViewerProcess::Ending::Crashed:
        owner.close();
        return ClientError(ClientError::ViewerFailed,
                           QStringLiteral("The viewer \"%1\" crashed (%2). Session %3 goes on. %4")
                               .arg(viewer.program(), viewer.reason(), shortId, again));
    case ViewerProcess::Ending::Failed:
        owner.close();
        if (!tunnel.farErrors().isEmpty()) {
            return ClientError(ClientError::Unreachable,
                               QStringLiteral("The viewer could not reach session %1 on %2: %3")
                                   .arg(shortId, host, tunnel.farErrors().simplified()));
        }
        if (viewer.wasTurnedAway() || closedByHost) {
            return ClientError(ClientError::Refused,
                               QStringLiteral("Session %1 on %2 turned the viewer away: %3. Another viewer may have "
                                              "used its password first. %4")
                                   .arg(shortId, host, viewer.reason(), again));
        }
        return ClientError(ClientError::ViewerFailed,
                           QStringLiteral("The viewer \"%1\" failed: %2. Session %3 goes on. %4")
                               .arg(viewer.program(), viewer.reason(), shortId, again));
    case ViewerProcess::Ending::Closed:
        break;
    }
    if (closedByHost && !sessionGoesOn(owner, sessionId)) {
        owner.close();
        Console::progress(QStringLiteral("Session %1 on %2 has ended.").arg(shortId, host));
        return ClientError();
    }
    owner.close();
    if (closedByHost) {
        Console::progress(QStringLiteral("%1 closed the viewer's connection to session %2: the session was suspended "
                                         "or taken over from elsewhere, and goes on. %3")
                              .arg(host, shortId, again));
    } else {
        Console::progress(QStringLiteral("The viewer is closed; session %1 goes on. %2").arg(shortId, again));
    }
    return ClientError();
}

bool ViewingSession::sessionGoesOn(RpcConnection &owner, const QString &sessionId)
{
    Json::Value result;
    RpcError failure;
    if (!owner.call(QStringLiteral("Live.ListLocalSessions"), Json::Value(), result, failure, sessionCheckTimeoutMs)) {
        return true;
    }
    if (result.isArray()) {
        for (const Json::Value &value : result) {
            SessionEntry entry;
            if (SessionEntry::fromJson(value, entry) && entry.id() == sessionId) {
                return true;
            }
        }
    }
    return false;
}

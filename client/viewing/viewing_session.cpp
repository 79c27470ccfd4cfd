#include "client/viewing/viewing_session.h"

#include "client/command_line/console.h"
#include "client/command_line/interrupt_watcher.h"
#include "client/host/rpc_connection.h"
#include "client/host/viewer_tunnel.h"
#include "client/sessions/session_entry.h"
#include "client/viewing/session_presenter.h"

#include <QEventLoop>

#include <memory>

namespace {

// A session being ended holds its host's answer until the end is done: up to this long.
constexpr int sessionCheckTimeoutMs = 30000;

} // namespace

ViewingSession::ViewingSession(SessionPresenter &presenter, InterruptWatcher &interrupts, QObject *parent)
    : QObject(parent)
    , presenter(presenter)
    , interrupts(interrupts)
{
}

ClientError ViewingSession::run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
                                const QString &userHost)
{
    SessionView view;
    view.sessionId = sessionId;
    view.shortId = sessionId.left(8);
    view.host = owner.target().name();
    view.again = QStringLiteral("To get in again: lumen %1 attach %2%3").arg(userHost, presenter.attachOption(), view.shortId);
    view.ticket = ticket;
    view.owner = &owner;

    QEventLoop loop;
    bool interrupted = false;
    TunnelEnd end;
    std::unique_ptr<ViewerTunnel> tunnel;
    if (presenter.needsTunnel()) {
        // A session on this machine is reached on the loopback itself, any other through ssh.
        const ProgramCall forward = owner.target().isLocal() ? ProgramCall() : owner.hostCommands().forward(ticket.port());
        tunnel = std::make_unique<ViewerTunnel>(forward, ticket.port());
        QString problem;
        if (!tunnel->listen(problem)) {
            return ClientError(ClientError::Usage, problem);
        }
        view.localPort = tunnel->port();
        connect(tunnel.get(), &ViewerTunnel::connectionClosedByHost, &loop, [&] { end.closedByHost = true; });
    }
    connect(&presenter, &SessionPresenter::ended, &loop, &QEventLoop::quit);
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, [&] {
        interrupted = true;
        loop.quit();
    });

    presenter.start(view);
    if (!interrupted && !presenter.hasEnded()) {
        loop.exec();
    }
    presenter.stop();
    if (tunnel) {
        tunnel->close();
        end.farErrors = tunnel->farErrors();
    }

    if (interrupted && !presenter.isShown()) {
        return ClientError(ClientError::Interrupted,
                           QStringLiteral("Interrupted before session %1 on %2 was shown; it goes on. %3")
                               .arg(view.shortId, view.host, view.again));
    }
    if (!interrupted) {
        const ClientError failure = presenter.failure(view, end);
        if (failure.isError()) {
            return failure;
        }
        if (end.closedByHost && !sessionGoesOn(owner, sessionId)) {
            Console::progress(QStringLiteral("Session %1 on %2 has ended.").arg(view.shortId, view.host));
            return ClientError();
        }
        if (end.closedByHost) {
            Console::progress(QStringLiteral("%1 closed %2 to session %3: the session was suspended or taken over "
                                             "from elsewhere, and goes on. %4")
                                  .arg(view.host, presenter.connectionName(), view.shortId, view.again));
            return ClientError();
        }
    }
    if (!presenter.closedText().isEmpty()) {
        Console::progress(QStringLiteral("%1; session %2 goes on. %3").arg(presenter.closedText(), view.shortId, view.again));
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

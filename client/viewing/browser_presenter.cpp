#include "client/viewing/browser_presenter.h"

#include "client/command_line/console.h"
#include "client/viewing/browser_opener.h"
#include "client/viewing/web_bridge.h"

BrowserPresenter::BrowserPresenter(QObject *parent)
    : SessionPresenter(parent)
    , bridge(new WebBridge(this))
{
    // Once the page's connection is through, Ctrl+C leaves the session running.
    connect(bridge, &WebBridge::pageConnected, this, [this] { markShown(); });
    connect(bridge, &WebBridge::ended, this, [this](const QString &problem) {
        bridgeProblem = problem;
        markEnded();
    });
}

bool BrowserPresenter::check(ClientError &error) const
{
    return WebBridge::check(error);
}

void BrowserPresenter::start(const SessionView &view)
{
    if (!bridge->start(view.localPort, startProblem)) {
        markEnded();
        return;
    }
    if (hasEnded()) {
        return; // websockify could not be run: no address to hand out
    }
    const QString address = bridge->pageAddress(view.ticket.password());
    Console::progress(QStringLiteral("Showing session %1 on %2 in the browser at this address (it works once; "
                                     "Ctrl+C ends):")
                          .arg(view.shortId, view.host));
    Console::print(address);
    QString notOpened;
    if (!BrowserOpener::open(address, notOpened)) {
        Console::progress(QStringLiteral("Open it in a browser: %1.").arg(notOpened));
    }
}

void BrowserPresenter::stop()
{
    bridge->stop();
}

ClientError BrowserPresenter::failure(const SessionView &view, const TunnelEnd &tunnel) const
{
    if (!startProblem.isEmpty()) {
        return ClientError(ClientError::Usage, startProblem);
    }
    if (!bridgeProblem.isEmpty()) {
        return ClientError(ClientError::ViewerFailed,
                           QStringLiteral("%1. Session %2 goes on. %3").arg(bridgeProblem, view.shortId, view.again));
    }
    // noVNC shows a failed connection in the page; lumen says why.
    if (!tunnel.farErrors.isEmpty() && !tunnel.closedByHost) {
        return ClientError(ClientError::Unreachable,
                           QStringLiteral("The browser could not reach session %1 on %2: %3")
                               .arg(view.shortId, view.host, tunnel.farErrors.simplified()));
    }
    QString reason;
    if (bridge->wasTurnedAway(reason)) {
        return ClientError(ClientError::Refused,
                           QStringLiteral("Session %1 on %2 turned the browser away: %3. Another viewer may have used "
                                          "its password first. %4")
                               .arg(view.shortId, view.host, reason.isEmpty() ? QStringLiteral("no reason given") : reason,
                                    view.again));
    }
    return ClientError();
}

#pragma once

#include "client/viewing/session_presenter.h"

class WebBridge;

// The session in the user's web browser: the bridge that serves noVNC on this machine's loopback
// and carries the page's WebSocket to the tunnel, and the browser opened on the page (its address
// printed too). It ends when the page's connection does; the browser itself runs on.
class BrowserPresenter : public SessionPresenter
{
    Q_OBJECT

public:
    explicit BrowserPresenter(QObject *parent = nullptr);

    bool check(ClientError &error) const override;
    void start(const SessionView &view) override;
    void stop() override;
    ClientError failure(const SessionView &view, const TunnelEnd &tunnel) const override;
    QString attachOption() const override { return QStringLiteral("--browser "); }
    QString closedText() const override { return QStringLiteral("The browser view has ended"); }
    QString connectionName() const override { return QStringLiteral("the browser's connection"); }

private:
    WebBridge *bridge;
    // Why the page could not be served, or why the bridge ended by itself.
    QString startProblem;
    QString bridgeProblem;
};

#pragma once

#include "client/viewing/session_presenter.h"

// No viewer: the session's id, port and one-time password printed, with what reaches the port
// (the ssh command that carries it to this machine for a session on another host), for a viewer
// that the user runs.
class TicketPrinter : public SessionPresenter
{
    Q_OBJECT

public:
    using SessionPresenter::SessionPresenter;

    bool check(ClientError &) const override { return true; }
    // The user's own viewer goes through a forward of the user's own.
    bool needsTunnel() const override { return false; }
    void start(const SessionView &view) override;
    void stop() override {}
    ClientError failure(const SessionView &, const TunnelEnd &) const override { return ClientError(); }
    QString closedText() const override { return QString(); }
    QString connectionName() const override { return QString(); }
};

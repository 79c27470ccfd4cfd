#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_ticket.h"

#include <QObject>

#include <memory>

class ClientOptions;
class RpcConnection;

// What a presenter is given to show: the session, the host that runs it and the way to its port.
struct SessionView
{
    QString sessionId;
    QString shortId;
    // The host that runs the session, as messages name it.
    QString host;
    // "To get in again: lumen HOST attach ID", as the user would type it.
    QString again;
    SessionTicket ticket;
    // The local end of the tunnel to the session's port on this machine's loopback; 0 without one.
    quint16 localPort = 0;
    const RpcConnection *owner = nullptr;
};

// How it looked from the tunnel when a presenter ended.
struct TunnelEnd
{
    // The host closed the connection while the presenter held it.
    bool closedByHost = false;
    // What the forward (ssh) said when it failed; empty when it did not.
    QString farErrors;
};

// One way of showing a session to the user: a viewer program, a page in a web browser, or the
// ticket printed for a viewer of the user's own. `ViewingSession` drives it: it checks it before
// anything is asked of the host, starts it on the tunnel's local end, stops it, and asks how it
// went. A new way is one new subclass, and one line in `forOptions`.
class SessionPresenter : public QObject
{
    Q_OBJECT

public:
    // The way the command line asks for.
    static std::unique_ptr<SessionPresenter> forOptions(const ClientOptions &options);

    using QObject::QObject;

    // Whether this way can be used on this machine; if not, what to install (exit status 2).
    virtual bool check(ClientError &error) const = 0;
    // Whether the session's port is carried to this machine's loopback for it.
    virtual bool needsTunnel() const { return true; }
    // Starts showing the session; `ended` follows, maybe before this returns.
    virtual void start(const SessionView &view) = 0;
    // Ends everything it started; the session itself stays.
    virtual void stop() = 0;
    // After `ended`: no error when the user closed it (or the host closed its connection and it
    // ended with that); else why it failed, with its exit status.
    virtual ClientError failure(const SessionView &view, const TunnelEnd &tunnel) const = 0;

    // The option that `attach` needs for this way again ("--browser "), for the commands suggested.
    virtual QString attachOption() const { return QString(); }
    // What the user is told when it closed and the session goes on; empty: nothing to tell.
    virtual QString closedText() const = 0;
    // Its connection as messages name it ("the viewer's connection").
    virtual QString connectionName() const = 0;

    bool isShown() const { return wasShown; }
    bool hasEnded() const { return wasEnded; }

signals:
    void ended();

protected:
    // The session is on the user's screen: Ctrl+C from now on leaves it running.
    void markShown() { wasShown = true; }
    void markEnded();

private:
    bool wasShown = false;
    bool wasEnded = false;
};

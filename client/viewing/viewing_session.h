#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_ticket.h"

#include <QObject>

class InterruptWatcher;
class RpcConnection;
class SessionPresenter;

// One session shown to the user, from the start of its presenter until it ends: the tunnel to the
// session's port, the presenter on its local end, Ctrl+C, the end of both, and what the user is
// told. The session itself stays.
class ViewingSession : public QObject
{
    Q_OBJECT

public:
    ViewingSession(SessionPresenter &presenter, InterruptWatcher &interrupts, QObject *parent = nullptr);

    // Runs until the presenter ends or the client is interrupted, and says how it ended: no error
    // when it was closed, interrupted after it showed the session, or its session was suspended,
    // taken over or ended; `ClientError::Interrupted` when interrupted before; else why it failed.
    // `owner` runs the session and stays open for the caller; `userHost` is the host as the user
    // named it, for the commands that messages suggest.
    ClientError run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
                    const QString &userHost);

private:
    // Whether the owner still has the session; true when that cannot be learned.
    bool sessionGoesOn(RpcConnection &owner, const QString &sessionId);

    SessionPresenter &presenter;
    InterruptWatcher &interrupts;
};

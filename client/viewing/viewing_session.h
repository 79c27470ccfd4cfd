#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_ticket.h"

#include <QObject>
#include <QStringList>

class InterruptWatcher;
class RpcConnection;

// A viewer on one session, from its start until it closes: the tunnel to the session's port, the
// viewer with the password, and the end of both. The session itself stays.
class ViewingSession : public QObject
{
    Q_OBJECT

public:
    ViewingSession(const QStringList &viewerCommand, InterruptWatcher &interrupts, QObject *parent = nullptr);

    // Runs until the viewer closes or the client is interrupted, and says how it ended: no error
    // when the viewer was closed, interrupted, or its session was suspended, taken over or ended;
    // else why the viewer failed. `owner` runs the session; `userHost` is the host as the user
    // named it, for the commands that messages suggest.
    ClientError run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket,
                    const QString &userHost);

private:
    // Whether the owner still has the session; true when that cannot be learned.
    bool sessionGoesOn(RpcConnection &owner, const QString &sessionId);

    QStringList viewerCommand;
    InterruptWatcher &interrupts;
};

#pragma once

#include "client/session_ticket.h"

#include <QObject>
#include <QStringList>

class RpcConnection;

// A viewer on one session, from its start until it closes: the tunnel to the session's port, the
// viewer with the password, and the end of both. The session itself stays.
class ViewingSession : public QObject
{
    Q_OBJECT

public:
    ViewingSession(const QStringList &viewerCommand, QObject *parent = nullptr);

    // Runs until the viewer closes or the client is interrupted. `owner` runs the session;
    // `userHost` is the host as the user named it, for the commands that messages suggest. False
    // with `error` when the viewer could not be started.
    bool run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket, const QString &userHost,
             QString &error);

private:
    QStringList viewerCommand;
};

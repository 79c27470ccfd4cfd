#pragma once

#include "client/sessions/session_ticket.h"

#include <QObject>

class RpcConnection;

// A session shown in the user's web browser, from the page's start until its connection ends: the
// tunnel to the session's port, the bridge that serves noVNC and carries its WebSocket into the
// tunnel, the browser opened on the page, and the end of all of them. The session itself stays.
class BrowserViewing : public QObject
{
    Q_OBJECT

public:
    explicit BrowserViewing(QObject *parent = nullptr);

    // Runs until the browser's connection ends or the client is interrupted. `owner` runs the
    // session; `userHost` is the host as the user named it, for the commands that messages
    // suggest. False with `error` when the page could not be served.
    bool run(RpcConnection &owner, const QString &sessionId, const SessionTicket &ticket, const QString &userHost,
             QString &error);
};

#include "client/host/viewer_tunnel.h"

#include "client/host/child_signals.h"
#include "client/host/tunnel_link.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

ViewerTunnel::ViewerTunnel(const ProgramCall &forward, quint16 sessionPort, QObject *parent)
    : QObject(parent)
    , forward(forward)
    , sessionPort(sessionPort)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &ViewerTunnel::Server_newConnection);
}

ViewerTunnel::~ViewerTunnel()
{
    close();
}

bool ViewerTunnel::listen(QString &error)
{
    // Loopback only, on a port the system picks: nothing outside this machine reaches it.
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        error = QStringLiteral("Failed to listen on 127.0.0.1 for the viewer: %1").arg(server->errorString());
        return false;
    }
    return true;
}

quint16 ViewerTunnel::port() const
{
    return server->serverPort();
}

void ViewerTunnel::close()
{
    server->close();
    const QList<TunnelLink *> open = links;
    links.clear();
    for (TunnelLink *link : open) {
        link->close();
        noteFailure(link);
        delete link;
    }
}

// The link is watched before its far end starts, so that not even a failure to start goes unseen.
TunnelLink *ViewerTunnel::addLink(TunnelLink *link)
{
    links << link;
    connect(link, &TunnelLink::closedByHost, this, [this, link] { emit connectionClosedByHost(link->farErrors()); });
    connect(link, &TunnelLink::finished, this, [this, link] {
        links.removeAll(link);
        noteFailure(link);
        link->deleteLater();
    });
    return link;
}

void ViewerTunnel::noteFailure(const TunnelLink *link)
{
    const QString errors = link->farErrors();
    if (!errors.isEmpty()) {
        failure = errors;
    }
}

void ViewerTunnel::Server_newConnection()
{
    while (QTcpSocket *viewer = server->nextPendingConnection()) {
        if (forward.program.isEmpty()) {
            auto *far = new QTcpSocket;
            addLink(new TunnelLink(viewer, far, this));
            far->connectToHost(QHostAddress::LocalHost, sessionPort);
        } else {
            auto *far = new QProcess;
            ignoreInterruptsInChild(*far);
            addLink(new TunnelLink(viewer, far, this));
            far->start(forward.program, forward.arguments);
        }
    }
}

#pragma once

#include "client/command_line/client_error.h"

#include <QObject>

class QProcess;
class QTcpServer;
class TunnelLink;

// A session in a web browser: Debian's noVNC served by websockify on this machine's loopback at a
// port the system picks, its WebSocket carried to a viewer port on this machine (the local end of
// the viewer's tunnel). One connection gets through: the first page's; later ones are turned away,
// so a second page neither gets the desktop nor cuts off the first. The bridge ends when that
// connection does.
class WebBridge : public QObject
{
    Q_OBJECT

public:
    explicit WebBridge(QObject *parent = nullptr);
    ~WebBridge() override;

    // Whether noVNC and websockify are installed; if not, which packages to install.
    static bool check(ClientError &error);

    bool start(quint16 viewerPort, QString &error);
    // Ends the browser's connection and websockify.
    void stop();
    quint16 port() const { return pagePort; }
    // The page that connects at once. The password travels in the fragment, which a browser never
    // sends to a server, so that no log holds it.
    QString pageAddress(const QString &password) const;
    // Whether the session turned the page's connection away, and its reason if it gave one.
    bool wasTurnedAway(QString &reason) const;

signals:
    // The first page's connection is through to the viewer port.
    void pageConnected();
    // The browser's connection ended (`problem` empty), or websockify did (`problem` says how).
    void ended(const QString &problem);

private slots:
    void Gate_newConnection();
    void Websockify_finished();

private:
    // A listening socket on 127.0.0.1 at a free port, handed to websockify: no race for the port.
    bool listenForPages(int &listener, QString &error);

    QTcpServer *gate;
    QProcess *websockify;
    TunnelLink *link = nullptr;
    QByteArray websockifyOutput;
    quint16 viewerPort = 0;
    quint16 pagePort = 0;
    bool stopping = false;
};

#pragma once

#include "client/host/program_call.h"

#include <QObject>

class QTcpServer;
class TunnelLink;

// The viewer's way to a session: a port on this machine's loopback whose connections are carried
// to the session's port on the host's loopback, each through its own forward (ssh -W), or
// straight to the port for a session on this machine. The session's port is never reached over the
// network unencrypted.
class ViewerTunnel : public QObject
{
    Q_OBJECT

public:
    // `forward` carries one connection; an empty program connects to `sessionPort` on 127.0.0.1.
    ViewerTunnel(const ProgramCall &forward, quint16 sessionPort, QObject *parent = nullptr);
    ~ViewerTunnel() override;

    bool listen(QString &error);
    quint16 port() const;
    // Ends every connection and stops listening.
    void close();
    // Why the last connection whose far end failed did so (what ssh said); empty if none did.
    QString farErrors() const { return failure; }

signals:
    // A viewer's connection was closed by the host; `detail` holds what ssh said, if anything.
    void connectionClosedByHost(const QString &detail);

private slots:
    void Server_newConnection();

private:
    TunnelLink *addLink(TunnelLink *link);
    void noteFailure(const TunnelLink *link);

    ProgramCall forward;
    quint16 sessionPort;
    QTcpServer *server;
    QList<TunnelLink *> links;
    QString failure;
};

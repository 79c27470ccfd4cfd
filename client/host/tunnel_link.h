#pragma once

#include <QObject>

class QIODevice;
class QProcess;
class QTcpSocket;

// One viewer connection carried to the session's port: bytes copied both ways between the viewer's
// socket and the far end (ssh forwarding the connection, or a socket to the port on this machine),
// until either side closes; then the other side is closed too.
class TunnelLink : public QObject
{
    Q_OBJECT

public:
    // Takes both devices over; the far end is already starting.
    TunnelLink(QTcpSocket *viewer, QProcess *far, QObject *parent = nullptr);
    TunnelLink(QTcpSocket *viewer, QTcpSocket *far, QObject *parent = nullptr);
    ~TunnelLink() override;

    void close();
    // Why the far end failed: what ssh said about the forward, or the socket's error.
    QString farErrors() const;
    // The first bytes that each side sent: enough to tell how a viewer's handshake went.
    QByteArray viewerHead() const { return viewerStart; }
    QByteArray farHead() const { return farStart; }

signals:
    // The host ended the connection while the viewer still held it (suspended, taken over, ended).
    void closedByHost();
    void finished();

private slots:
    void Viewer_readyRead();
    void Far_readyRead();
    void Viewer_disconnected();
    void Far_ended();

private:
    void connectSignals();
    bool copy(QIODevice *from, QIODevice *to);
    void finish();

    QTcpSocket *viewer;
    QIODevice *far;
    QProcess *farProcess = nullptr;
    QTcpSocket *farSocket = nullptr;
    QByteArray sshErrors;
    QByteArray viewerStart;
    QByteArray farStart;
    bool done = false;
};

#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

// A minimal VNC viewer for tests: the RFB handshake with VNC authentication (DES from OpenSSL, so
// that it checks the agent's own DES rather than sharing it), ServerInit, one raw framebuffer
// update, desktop size requests and cut text. Every call blocks with a time limit.
class RfbViewer
{
public:
    struct Handshake
    {
        bool accepted = false;
        QString serverVersion;
        QString failureReason;  // RFB 3.8 sends one when it refuses
        int width = -1;
        int height = -1;
        QString desktopName;
    };

    bool connectToPort(quint16 port, int timeoutMs = 5000);
    // protocolMinor 8 or 3: the versions that real viewers speak.
    Handshake authenticate(const QString &password, int protocolMinor = 8);
    // Requests the whole screen in raw encoding; true when rectangles covering it all arrived.
    bool readFramebuffer(int width, int height, int timeoutMs = 10000);
    // Asks for a desktop of this size, one screen covering it (SetDesktopSize).
    void requestDesktopSize(int width, int height);
    void sendCutText(const QByteArray &latin1);
    // The next cut text the server sends; framebuffer updates and bells before it are skipped.
    bool readCutText(QByteArray &latin1, int timeoutMs = 10000);
    // True when the agent closes the connection within the time.
    bool waitForClosed(int timeoutMs);
    QString error() const { return lastError; }

    // The challenge encrypted the way VNC authentication does it (key bytes bit-mirrored).
    static QByteArray challengeResponse(const QString &password, const QByteArray &challenge);
    // The content of a classic VNC password file (as vncpasswd writes it) for a real viewer.
    static QByteArray passwordFile(const QString &password);

private:
    bool readExactly(QByteArray &data, qint64 size, int timeoutMs);
    bool fail(const QString &message);

    QTcpSocket socket;
    QString lastError;
};

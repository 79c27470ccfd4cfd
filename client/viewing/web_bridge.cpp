#include "client/viewing/web_bridge.h"

#include "client/host/tunnel_link.h"
#include "client/viewing/rfb_handshake.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString noVncDirectory = QStringLiteral("/usr/share/novnc");
const QString noVncPage = QStringLiteral("vnc.html");
const QString websockifyProgram = QStringLiteral("websockify");
// What websockify said last, for the message when it ends by itself.
constexpr int outputLimit = 2048;
constexpr int pageBacklog = 64;

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

WebBridge::WebBridge(QObject *parent)
    : QObject(parent)
    , gate(new QTcpServer(this))
    , websockify(new QProcess(this))
{
    connect(gate, &QTcpServer::newConnection, this, &WebBridge::Gate_newConnection);
    websockify->setProcessChannelMode(QProcess::MergedChannels);
    connect(websockify, &QProcess::readyReadStandardOutput, this, [this] {
        websockifyOutput += websockify->readAllStandardOutput();
        if (websockifyOutput.size() > outputLimit) {
            websockifyOutput.remove(0, websockifyOutput.size() - outputLimit);
        }
    });
    connect(websockify, &QProcess::finished, this, &WebBridge::Websockify_finished);
    connect(websockify, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            Websockify_finished();
        }
    });
}

WebBridge::~WebBridge()
{
    stop();
}

bool WebBridge::check(ClientError &error)
{
    QStringList missing;
    if (!QFileInfo(noVncDirectory + QLatin1Char('/') + noVncPage).isFile()) {
        missing << QStringLiteral("novnc");
    }
    if (QStandardPaths::findExecutable(websockifyProgram).isEmpty()) {
        missing << QStringLiteral("websockify");
    }
    if (missing.isEmpty()) {
        return true;
    }
    error = ClientError(ClientError::Usage,
                        QStringLiteral("--browser needs noVNC and websockify on this machine: install the package%1 %2.")
                            .arg(missing.size() > 1 ? QStringLiteral("s") : QString(), missing.join(QLatin1Char(' '))));
    return false;
}

bool WebBridge::start(quint16 port, QString &error)
{
    viewerPort = port;
    // The gate: websockify's one way to the viewer port, which lets one connection through.
    if (!gate->listen(QHostAddress::LocalHost, 0)) {
        error = QStringLiteral("Failed to listen on 127.0.0.1 for the browser's connection: %1").arg(gate->errorString());
        return false;
    }
    int listener = -1;
    if (!listenForPages(listener, error)) {
        return false;
    }
    // websockify takes the listening socket as its standard input (--inetd). It serves the page's
    // files from noVNC's folder and carries each WebSocket to the gate.
    // Should lumen be killed, websockify must not serve the page on: it ends with lumen.
    websockify->setChildProcessModifier([listener] {
        ::dup2(listener, STDIN_FILENO);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    websockify->start(QStandardPaths::findExecutable(websockifyProgram),
                      {QStringLiteral("--inetd"), QStringLiteral("--web"), noVncDirectory,
                       QStringLiteral("127.0.0.1:%1").arg(gate->serverPort())});
    ::close(listener); // websockify has its own copy now
    return true;
}

bool WebBridge::listenForPages(int &listener, QString &error)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        error = systemError("Failed to create a socket for the browser");
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, pageBacklog) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        error = systemError("Failed to listen on 127.0.0.1 for the browser");
        ::close(listener);
        listener = -1;
        return false;
    }
    pagePort = ntohs(address.sin_port);
    return true;
}

void WebBridge::stop()
{
    stopping = true;
    gate->close();
    if (link) {
        link->close();
    }
    if (websockify->state() != QProcess::NotRunning) {
        // websockify ends the processes that serve its connections on SIGTERM.
        websockify->terminate();
        if (!websockify->waitForFinished(3000)) {
            websockify->kill();
            websockify->waitForFinished(2000);
        }
    }
}

QString WebBridge::pageAddress(const QString &password) const
{
    // Every setting that noVNC would otherwise take from what the browser stored for this origin
    // (an earlier bridge may have had the same port) is given.
    return QStringLiteral("http://127.0.0.1:%1/%2#autoconnect=1&host=127.0.0.1&port=%1&path=websockify&encrypt=0"
                          "&resize=remote&reconnect=0&password=%3")
        .arg(pagePort)
        .arg(noVncPage, QString::fromLatin1(QUrl::toPercentEncoding(password)));
}

bool WebBridge::wasTurnedAway(QString &reason) const
{
    // The gate's side of the link faces the page, its far side the viewer port.
    return link && RfbHandshake::read(link->farHead(), link->viewerHead(), reason) == RfbHandshake::Outcome::Refused;
}

void WebBridge::Gate_newConnection()
{
    while (QTcpSocket *page = gate->nextPendingConnection()) {
        if (link || stopping) {
            page->abort();
            page->deleteLater();
            continue;
        }
        // One connection per password: later pages find the gate closed.
        gate->close();
        auto *viewer = new QTcpSocket;
        link = new TunnelLink(page, viewer, this);
        connect(link, &TunnelLink::finished, this, [this] {
            if (!stopping) {
                emit ended(QString());
            }
        });
        viewer->connectToHost(QHostAddress::LocalHost, viewerPort);
        emit pageConnected();
    }
}

void WebBridge::Websockify_finished()
{
    if (stopping) {
        return;
    }
    websockifyOutput += websockify->readAllStandardOutput();
    const QString said = QString::fromLocal8Bit(websockifyOutput).trimmed();
    emit ended(QStringLiteral("websockify, which serves the page to the browser, ended%1")
                   .arg(said.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + said));
}

#include "server/process/daemon.h"

#include "common/file_logging.h"
#include "common/files.h"
#include "common/logging.h"
#include "server/discovery/named_peer.h"
#include "server/discovery/udp_talker.h"
#include "server/manager/session_manager.h"
#include "server/manager/session_updater.h"
#include "server/manager/session_upkeep.h"
#include "server/manager/suspend_checker.h"
#include "server/process/daemon_launch.h"
#include "server/process/idle_exit.h"
#include "server/process/info_file.h"
#include "server/process/program_runner.h"
#include "server/process/server_settings.h"
#include "server/process/signal_catcher.h"
#include "server/rpc/dispatcher.h"
#include "server/rpc/live_methods.h"
#include "server/rpc/ssl_responder.h"
#include "server/rpc/ssl_server.h"
#include "server/session/agent_contract.h"
#include "server/session/value_files.h"
#include "server/session/xauth_standby.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QThreadPool>
#include <QUdpSocket>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Every connection costs a descriptor, and the usual soft limit (1024) is soon reached: the server
// takes as many as it is allowed to. A failure leaves the limit as it was.
void raiseOpenFileLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// How often the system is asked for another port when it picked a viewer port.
constexpr int portChoices = 32;

// The viewer ports of the server's displays, [first, end): an agent must be able to bind its own.
struct ViewerRange
{
    int first;
    int end;

    // Displays beyond the last one with a viewer port add none.
    explicit ViewerRange(const ServerSettings &settings)
        : first(AgentContract::viewerPortBase + settings.displayBase)
        , end(AgentContract::viewerPortBase + qMin<int>(settings.displayEnd(), AgentContract::highestDisplay + 1))
    {
    }

    bool contains(int port) const { return port >= first && port < end; }
};

// Listens on the port, or with port 0 on one the system picks outside the viewer range (which lies
// within the ports the system hands out). A port set inside that range is refused.
bool listenOutside(QTcpServer &server, quint16 port, const ViewerRange &viewers, QString &error)
{
    if (viewers.contains(port)) {
        error = QStringLiteral("Failed to listen for SSL connections on port \"%1\": it is the viewer port of a "
                               "display (ports %2 to %3 are kept for the displays)")
                    .arg(port)
                    .arg(viewers.first)
                    .arg(viewers.end - 1);
        return false;
    }
    for (int choice = 0; choice < portChoices; ++choice) {
        if (!server.listen(QHostAddress::AnyIPv4, port)) {
            error = QStringLiteral("Failed to listen for SSL connections on port \"%1\": %2")
                        .arg(QString::number(port), server.errorString());
            return false;
        }
        if (!viewers.contains(server.serverPort())) {
            return true;
        }
        server.close();
    }
    error = QStringLiteral("Failed to listen for SSL connections: every port offered is a viewer port");
    return false;
}

} // namespace

Daemon::LoggerInstallation::~LoggerInstallation()
{
    Logging::setInstance(nullptr);
}

Daemon::Daemon() = default;

Daemon::~Daemon() = default;

int Daemon::run(QCoreApplication &app)
{
    raiseOpenFileLimit();
    if (QThreadPool::globalInstance()->maxThreadCount() <= 3) {
        QThreadPool::globalInstance()->setMaxThreadCount(4);
    }

    const ServerSettings settings = ServerSettings::read();
    // The launchers inherit the server's environment: set always, so that the setting rules over
    // whatever the server itself inherited.
    qputenv(AgentContract::viewersFromNetworkVariable, settings.viewersFromNetwork ? "1" : "0");
    // A server starts session after session: each start finds an "xauth" already loaded.
    XauthStandby::global().setEnabled(true);
    using StartupStep = bool (Daemon::*)(const ServerSettings &, QString &);
    const StartupStep steps[] = {
        &Daemon::openLog,
        &Daemon::writePidFile,
        &Daemon::createCertificate,
        &Daemon::createSessionDirectory,
        &Daemon::createSessionStore,
        &Daemon::listenForClients,
        &Daemon::writePortFile,
        &Daemon::startDiscovery,
        &Daemon::catchSignals,
        &Daemon::closeCommunicationPipe,
    };
    for (StartupStep step : steps) {
        QString error;
        if (!(this->*step)(settings, error)) {
            return failStartup(error);
        }
    }

    startIdleExitTimer(idleExitInterval());
    logMessage(Logging::Info, QStringLiteral("Starting the server version %1").arg(QCoreApplication::applicationVersion()));
    const int status = app.exec();
    // A signal caught together with the one that ended the loop still gets its log line and effect.
    signalCatcher->drain();
    // No longer answering first, so that the peers' query after the farewell fails at once.
    sslServer->close();
    udpTalker->sendFarewell();
    logMessage(Logging::Info, QStringLiteral("Exiting the server"));
    return status;
}

bool Daemon::openLog(const ServerSettings &settings, QString &error)
{
    logger = std::make_unique<FileLogging>();
    if (!logger->open(settings.logPath, error)) {
        return false;
    }
    Logging::setInstance(logger.get());
    logger->setLevel(Logging::levelFromName(settings.logLevelName));
    return true;
}

bool Daemon::writePidFile(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Writing the pid file"));
    pidFile = std::make_unique<InfoFile>();
    pidFile->setFileName(settings.pidPath);
    return writeFileLongLong(settings.pidPath, QCoreApplication::applicationPid(), error);
}

bool Daemon::createCertificate(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Creating certificate files"));
    if (QFile::exists(settings.certificatePath)) {
        return true;
    }
    const QStringList arguments = {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                                   settings.keyPath, QStringLiteral("-out"), settings.certificatePath,
                                   QStringLiteral("-days"), QStringLiteral("365"), QStringLiteral("-batch")};
    return runProgram(QStringLiteral("openssl"), arguments, QString(), -1, error);
}

bool Daemon::createSessionDirectory(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Creating the session directory"));
    if (!QDir(settings.sessionsPath).exists() && !QDir().mkpath(settings.sessionsPath)) {
        error = QStringLiteral("Failed to create the session directory \"%1\"").arg(settings.sessionsPath);
        return false;
    }
    return true;
}

bool Daemon::createSessionStore(const ServerSettings &settings, QString &)
{
    logMessage(Logging::Debug1, QStringLiteral("Initializing data stores"));
    // Sessions name where they can be reached only when other hosts can learn of them.
    const QString location = settings.broadcastPort != 0 ? settings.sciUrl : QString();
    sessionManager = std::make_unique<SessionManager>(settings.sessionsPath, settings.displayBase,
                                                             settings.displayEnd(), location);
    sessionManager->updateSessions();
    sessionUpdater = std::make_unique<SessionUpdater>(sessionManager.get());
    suspendChecker = std::make_unique<SuspendChecker>(sessionManager.get(), settings.suspendTimeout);
    sessionUpkeep = std::make_unique<SessionUpkeep>(sessionUpdater.get(), suspendChecker.get());
    sessionUpkeep->start(QThread::LowPriority);
    return true;
}

bool Daemon::listenForClients(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Reading the certificate files"));
    privateKey = std::make_unique<QSslKey>();
    certificate = std::make_unique<QSslCertificate>();
    if (!readPrivateKey(settings.keyPath, *privateKey, error)
        || !readCertificate(settings.certificatePath, *certificate, error)) {
        return false;
    }

    logMessage(Logging::Debug1, QStringLiteral("Creating the SSL socket"));
    sslServer = std::make_unique<SslServer>();
    sslServer->setPrivateKey(*privateKey);
    sslServer->setLocalCertificate(*certificate);
    if (!listenOutside(*sslServer, settings.listenPort, ViewerRange(settings), error)) {
        return false;
    }

    dispatcher = std::make_unique<Dispatcher>();
    addLiveMethods(*dispatcher, sessionManager.get());
    responder = std::make_unique<SslResponder>(dispatcher.get(), sessionUpdater.get());
    QObject::connect(sslServer.get(), &SslServer::newConnection, responder.get(),
                     &SslResponder::newConnection);
    return true;
}

bool Daemon::writePortFile(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Writing the port file"));
    portFile = std::make_unique<InfoFile>();
    portFile->setFileName(settings.portPath);
    return writeFileUShort(settings.portPath, sslServer->serverPort(), error);
}

bool Daemon::startDiscovery(const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Creating the UDP socket"));
    udpSocket = std::make_unique<QUdpSocket>();
    // Shared, so that servers of other users on this host can listen for announcements as well.
    if (settings.broadcastPort != 0
        && !udpSocket->bind(QHostAddress::AnyIPv4, settings.broadcastPort,
                                   QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        error = QStringLiteral("Failed to listen for UDP connections on port \"%1\": %2")
                    .arg(QString::number(settings.broadcastPort), udpSocket->errorString());
        return false;
    }
    // Checked even with discovery off, so that a wrong setting shows at once. Empty: named peers only.
    broadcastAddress = std::make_unique<QHostAddress>();
    if (!settings.broadcastAddress.isEmpty() && !broadcastAddress->setAddress(settings.broadcastAddress)) {
        error = QStringLiteral("Invalid broadcast address \"%1\"").arg(settings.broadcastAddress);
        return false;
    }
    QList<NamedPeer> peers;
    if (!NamedPeer::parseList(settings.peers, settings.broadcastPort, peers, error)) {
        error = QStringLiteral("Invalid setting \"Peers\": %1").arg(error);
        return false;
    }
    udpTalker = std::make_unique<UdpTalker>(udpSocket.get(), *broadcastAddress,
                                                   settings.broadcastPort, sslServer->serverPort(),
                                                   &sessionManager->peers(), settings.keyPath,
                                                   settings.certificatePath);
    if (settings.broadcastPort != 0) {
        udpTalker->setNamedPeers(peers);
        QObject::connect(sessionUpdater.get(), &SessionUpdater::sendUpdates, udpTalker.get(),
                         &UdpTalker::sendUpdate);
        udpTalker->sendHello();
    }
    return true;
}

bool Daemon::catchSignals(const ServerSettings &, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Setting up signal handlers"));
    int signalSockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) {
        error = QStringLiteral("Failed to setup signal handling: %1").arg(systemError());
        return false;
    }
    signalWriteFd = signalSockets[0];
    signalCatcher = std::make_unique<SignalCatcher>(signalSockets[1]);
    QCoreApplication *app = QCoreApplication::instance();
    QObject::connect(signalCatcher.get(), &SignalCatcher::gotTERM, app, &QCoreApplication::quit);
    QObject::connect(signalCatcher.get(), &SignalCatcher::gotINT, app, &QCoreApplication::quit);
    QObject::connect(signalCatcher.get(), &SignalCatcher::gotHUP, logger.get(), &FileLogging::reopen);
    installSignalHandlers({SIGTERM, SIGHUP, SIGINT});
    return true;
}

bool Daemon::closeCommunicationPipe(const ServerSettings &, QString &error)
{
    // Dropping our copy of the pipe's write end lets the launching process return.
    if (!std::freopen("/dev/null", "w", stderr)) {
        error = QStringLiteral("Failed to close the communication pipe: %1").arg(systemError());
        return false;
    }
    releaseLauncher();
    return true;
}

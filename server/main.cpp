// lumen_server: the per-user daemon. The launching process returns once the daemon has finished
// starting (or failed), passing on every start-up error through the communication pipe.

#include "common/application_identity.h"
#include "common/file_logging.h"
#include "common/files.h"
#include "common/logging.h"
#include "common/settings.h"
#include "server/discovery/udp_talker.h"
#include "server/manager/session_manager.h"
#include "server/manager/session_updater.h"
#include "server/manager/session_upkeep.h"
#include "server/manager/suspend_checker.h"
#include "server/process/idle_exit.h"
#include "server/process/info_file.h"
#include "server/process/program_runner.h"
#include "server/process/server_settings.h"
#include "server/process/signal_catcher.h"
#include "server/process/single_instance.h"
#include "server/rpc/dispatcher.h"
#include "server/rpc/live_methods.h"
#include "server/rpc/ssl_responder.h"
#include "server/rpc/ssl_server.h"
#include "server/session/value_files.h"

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
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Writes a whole buffer, resuming after interruptions.
void writeAll(int descriptor, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        size -= size_t(written);
    }
}

// The write end of the ready pipe: the daemon writes one byte to it once start-up has finished. A
// daemon that ends during start-up closes it without that byte, and the launching process then
// returns the daemon's own exit status instead of reporting success.
int readyWriteFd = -1;

// The launching process copies what the daemon writes to the pipe onto its own standard error until
// the daemon closes its end.
[[noreturn]] void relayUntilDaemonReady(int readEnd, int readyReadEnd, pid_t daemon)
{
    ::dup2(readEnd, STDIN_FILENO);
    ::close(readEnd);
    char buffer[256];
    for (;;) {
        const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        writeAll(STDERR_FILENO, buffer, size_t(received));
    }

    char ready = 0;
    ssize_t got;
    do {
        got = ::read(readyReadEnd, &ready, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) {
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// Forks; returns in the daemon only. A failure is reported as a text with errno's reason.
bool becomeDaemon(QString &error)
{
    int pipeEnds[2];
    int readyEnds[2];
    if (::pipe(pipeEnds) != 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        return false;
    }
    if (::pipe2(readyEnds, O_CLOEXEC) != 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        for (int end : {pipeEnds[0], pipeEnds[1], readyEnds[0], readyEnds[1]}) {
            ::close(end);
        }
        return false;
    }
    if (child > 0) {
        ::close(pipeEnds[1]);
        ::close(readyEnds[1]);
        relayUntilDaemonReady(pipeEnds[0], readyEnds[0], child);
    }

    ::close(pipeEnds[0]);
    ::close(readyEnds[0]);
    readyWriteFd = readyEnds[1];
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);
    if (::setsid() < 0 || ::chdir("/") != 0 || !std::freopen("/dev/null", "r", stdin)
        || !std::freopen("/dev/null", "w", stdout)) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        return false;
    }
    return true;
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

// Tells the launching process that start-up has finished.
void releaseLauncher()
{
    const char ready = '0';
    writeAll(readyWriteFd, &ready, 1);
    ::close(readyWriteFd);
    readyWriteFd = -1;
}

// Clears the process-wide logger pointer before the logger itself goes.
struct LoggerInstallation
{
    ~LoggerInstallation() { Logging::setInstance(nullptr); }
};

// The long-lived objects of the server, declared in creation order so that they are destroyed in
// exactly the reverse order, also when start-up fails half-way.
struct Server
{
    std::unique_ptr<FileLogging> logger;
    LoggerInstallation loggerInstallation;
    std::unique_ptr<InfoFile> pidFile;
    std::unique_ptr<SessionManager> sessionManager;
    std::unique_ptr<SessionUpdater> sessionUpdater;
    std::unique_ptr<SuspendChecker> suspendChecker;
    std::unique_ptr<SessionUpkeep> sessionUpkeep;
    // Goes after the listener: the handlers of its connections, and those that outlive their client
    // until their request ends, use it to the last.
    std::unique_ptr<Dispatcher> dispatcher;
    std::unique_ptr<QSslKey> privateKey;
    std::unique_ptr<QSslCertificate> certificate;
    std::unique_ptr<SslServer> sslServer;
    std::unique_ptr<SslResponder> responder;
    std::unique_ptr<InfoFile> portFile;
    std::unique_ptr<QUdpSocket> udpSocket;
    std::unique_ptr<QHostAddress> broadcastAddress;
    std::unique_ptr<UdpTalker> udpTalker;
    std::unique_ptr<SignalCatcher> signalCatcher;
};

// Reports a fatal start-up error on standard error (still the communication pipe) and, once the
// logger exists, in the log; the caller then tears down what exists and exits with 1.
int fail(const QString &message)
{
    const QByteArray line = (Logging::formatLine(Logging::Critical, message) + QLatin1Char('\n')).toLocal8Bit();
    writeAll(STDERR_FILENO, line.constData(), size_t(line.size()));
    logMessage(Logging::Critical, message);
    return 1;
}

// Each start-up step either succeeds or leaves the one message that explains why it did not.
using StartupStep = bool (*)(Server &server, const ServerSettings &settings, QString &error);

bool openLog(Server &server, const ServerSettings &settings, QString &error)
{
    server.logger = std::make_unique<FileLogging>();
    if (!server.logger->open(settings.logPath, error)) {
        return false;
    }
    Logging::setInstance(server.logger.get());
    server.logger->setLevel(Logging::levelFromName(settings.logLevelName));
    return true;
}

bool writePidFile(Server &server, const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Writing the pid file"));
    server.pidFile = std::make_unique<InfoFile>();
    server.pidFile->setFileName(settings.pidPath);
    return writeFileLongLong(settings.pidPath, QCoreApplication::applicationPid(), error);
}

bool createCertificate(Server &, const ServerSettings &settings, QString &error)
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

bool createSessionDirectory(Server &, const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Creating the session directory"));
    if (!QDir(settings.sessionsPath).exists() && !QDir().mkpath(settings.sessionsPath)) {
        error = QStringLiteral("Failed to create the session directory \"%1\"").arg(settings.sessionsPath);
        return false;
    }
    return true;
}

bool createSessionStore(Server &server, const ServerSettings &settings, QString &)
{
    logMessage(Logging::Debug1, QStringLiteral("Initializing data stores"));
    // Sessions name where they can be reached only when other hosts can learn of them.
    const QString location = settings.broadcastPort != 0 ? settings.sciUrl : QString();
    server.sessionManager = std::make_unique<SessionManager>(settings.sessionsPath, settings.displayBase,
                                                             settings.displayEnd(), location);
    server.sessionManager->updateSessions();
    server.sessionUpdater = std::make_unique<SessionUpdater>(server.sessionManager.get());
    server.suspendChecker = std::make_unique<SuspendChecker>(server.sessionManager.get(), settings.suspendTimeout);
    server.sessionUpkeep = std::make_unique<SessionUpkeep>(server.sessionUpdater.get(), server.suspendChecker.get());
    server.sessionUpkeep->start(QThread::LowPriority);
    return true;
}

bool listenForClients(Server &server, const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Reading the certificate files"));
    server.privateKey = std::make_unique<QSslKey>();
    server.certificate = std::make_unique<QSslCertificate>();
    if (!readPrivateKey(settings.keyPath, *server.privateKey, error)
        || !readCertificate(settings.certificatePath, *server.certificate, error)) {
        return false;
    }

    logMessage(Logging::Debug1, QStringLiteral("Creating the SSL socket"));
    server.sslServer = std::make_unique<SslServer>();
    server.sslServer->setPrivateKey(*server.privateKey);
    server.sslServer->setLocalCertificate(*server.certificate);
    if (!server.sslServer->listen(QHostAddress::AnyIPv4, settings.listenPort)) {
        error = QStringLiteral("Failed to listen for SSL connections on port \"%1\": %2")
                    .arg(QString::number(settings.listenPort), server.sslServer->errorString());
        return false;
    }

    server.dispatcher = std::make_unique<Dispatcher>();
    addLiveMethods(*server.dispatcher, server.sessionManager.get());
    server.responder = std::make_unique<SslResponder>(server.dispatcher.get(), server.sessionUpdater.get());
    QObject::connect(server.sslServer.get(), &SslServer::newConnection, server.responder.get(),
                     &SslResponder::newConnection);
    return true;
}

bool writePortFile(Server &server, const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Writing the port file"));
    server.portFile = std::make_unique<InfoFile>();
    server.portFile->setFileName(settings.portPath);
    return writeFileUShort(settings.portPath, server.sslServer->serverPort(), error);
}

bool startDiscovery(Server &server, const ServerSettings &settings, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Creating the UDP socket"));
    server.udpSocket = std::make_unique<QUdpSocket>();
    // Shared, so that servers of other users on this host can listen for announcements as well.
    if (settings.broadcastPort != 0
        && !server.udpSocket->bind(QHostAddress::AnyIPv4, settings.broadcastPort,
                                   QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        error = QStringLiteral("Failed to listen for UDP connections on port \"%1\": %2")
                    .arg(QString::number(settings.broadcastPort), server.udpSocket->errorString());
        return false;
    }
    // Checked even with discovery off, so that a wrong setting shows at once.
    server.broadcastAddress = std::make_unique<QHostAddress>();
    if (!server.broadcastAddress->setAddress(settings.broadcastAddress)) {
        error = QStringLiteral("Invalid broadcast address \"%1\"").arg(settings.broadcastAddress);
        return false;
    }
    server.udpTalker = std::make_unique<UdpTalker>(server.udpSocket.get(), *server.broadcastAddress,
                                                   settings.broadcastPort, server.sslServer->serverPort(),
                                                   &server.sessionManager->peers(), settings.keyPath,
                                                   settings.certificatePath);
    if (settings.broadcastPort != 0) {
        QObject::connect(server.sessionUpdater.get(), &SessionUpdater::sendUpdates, server.udpTalker.get(),
                         &UdpTalker::sendUpdate);
        server.udpTalker->sendHello();
    }
    return true;
}

bool catchSignals(Server &server, const ServerSettings &, QString &error)
{
    logMessage(Logging::Debug1, QStringLiteral("Setting up signal handlers"));
    int signalSockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) {
        error = QStringLiteral("Failed to setup signal handling: %1").arg(systemError());
        return false;
    }
    signalWriteFd = signalSockets[0];
    server.signalCatcher = std::make_unique<SignalCatcher>(signalSockets[1]);
    QCoreApplication *app = QCoreApplication::instance();
    QObject::connect(server.signalCatcher.get(), &SignalCatcher::gotTERM, app, &QCoreApplication::quit);
    QObject::connect(server.signalCatcher.get(), &SignalCatcher::gotINT, app, &QCoreApplication::quit);
    QObject::connect(server.signalCatcher.get(), &SignalCatcher::gotHUP, server.logger.get(), &FileLogging::reopen);
    installSignalHandlers({SIGTERM, SIGHUP, SIGINT});
    return true;
}

bool closeCommunicationPipe(Server &, const ServerSettings &, QString &error)
{
    // Dropping our copy of the pipe's write end lets the launching process return.
    if (!std::freopen("/dev/null", "w", stderr)) {
        error = QStringLiteral("Failed to close the communication pipe: %1").arg(systemError());
        return false;
    }
    releaseLauncher();
    return true;
}

int runServer(QCoreApplication &app, Server &server)
{
    const ServerSettings settings = ServerSettings::read();
    const StartupStep steps[] = {
        openLog,           writePidFile,  createCertificate, createSessionDirectory, createSessionStore,
        listenForClients,  writePortFile, startDiscovery,    catchSignals,           closeCommunicationPipe,
    };
    for (StartupStep step : steps) {
        QString error;
        if (!step(server, settings, error)) {
            return fail(error);
        }
    }

    startIdleExitTimer(idleExitInterval());
    logMessage(Logging::Info, QStringLiteral("Starting the server version %1").arg(QCoreApplication::applicationVersion()));
    const int status = app.exec();
    // A signal caught together with the one that ended the loop still gets its log line and effect.
    server.signalCatcher->drain();
    logMessage(Logging::Info, QStringLiteral("Exiting the server"));
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QString error;
    if (!becomeDaemon(error)) {
        return fail(error);
    }
    ::umask(077);

    QCoreApplication app(argc, argv);
    setApplicationIdentity();
    IdleExit::global(); // created here so that it belongs to the main thread

    // One server for the same files, whoever USER claims to be.
    SingleInstance instance(SingleInstance::idFor(Settings::userPath()));
    switch (instance.tryLock(error)) {
    case SingleInstance::Outcome::Taken:
        break;
    case SingleInstance::Outcome::HeldByAnother:
        return 0;
    case SingleInstance::Outcome::Failed:
        return fail(error);
    }

    raiseOpenFileLimit();
    if (QThreadPool::globalInstance()->maxThreadCount() <= 3) {
        QThreadPool::globalInstance()->setMaxThreadCount(4);
    }

    Server server;
    return runServer(app, server);
}

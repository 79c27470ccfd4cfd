#pragma once

#include <QString>

#include <memory>

class Dispatcher;
class FileLogging;
class InfoFile;
class QCoreApplication;
class QHostAddress;
class QSslCertificate;
class QSslKey;
class QUdpSocket;
class SessionManager;
class SessionUpdater;
class SessionUpkeep;
class SignalCatcher;
class SslResponder;
class SslServer;
class SuspendChecker;
class UdpTalker;
struct ServerSettings;

// The running server: start-up as a table of named steps, then the event loop. Each step creates
// one part of the server or leaves the one message that explains why it could not; the first
// failure ends start-up. The parts are members declared in creation order, so that they are
// destroyed in exactly the reverse order, also when start-up fails half-way.
class Daemon
{
public:
    Daemon();
    ~Daemon();

    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts the server, runs it until it is told to quit and returns the exit status. A failed
    // step is reported through failStartup.
    int run(QCoreApplication &app);

private:
    // Clears the process-wide logger pointer before the logger itself goes.
    struct LoggerInstallation
    {
        ~LoggerInstallation();
    };

    bool openLog(const ServerSettings &settings, QString &error);
    bool writePidFile(const ServerSettings &settings, QString &error);
    bool createCertificate(const ServerSettings &settings, QString &error);
    bool createSessionDirectory(const ServerSettings &settings, QString &error);
    bool createSessionStore(const ServerSettings &settings, QString &error);
    bool listenForClients(const ServerSettings &settings, QString &error);
    bool writePortFile(const ServerSettings &settings, QString &error);
    bool startDiscovery(const ServerSettings &settings, QString &error);
    bool catchSignals(const ServerSettings &settings, QString &error);
    bool closeCommunicationPipe(const ServerSettings &settings, QString &error);

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

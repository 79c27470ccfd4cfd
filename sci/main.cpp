// lumen_sci: what a remote client runs over ssh. It makes sure the user's server runs, connects to it
// with mutual TLS on loopback and relays standard input and output to it unchanged. Its log goes to
// standard error, which the client receives apart from the data.

#include "common/application_identity.h"
#include "common/files.h"
#include "common/logging.h"
#include "common/plain_command_line.h"
#include "common/search_path.h"
#include "common/settings.h"
#include "common/stderr_logging.h"
#include "sci/rx_relay.h"
#include "sci/server_connection.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSslSocket>

#include <memory>

namespace {

const char *const help = R"(Usage: lumen_sci [--help | --version]

The relay of Lumen Server, which the client lumen runs on a host over ssh ("ssh me@host
lumen_sci"). It starts the user's lumen_server if none runs (found on PATH or next to lumen_sci),
connects to it over TLS on the loopback with the user's own certificate, and then copies bytes
unchanged between its standard input and output and the server, until either side closes. Its
messages go to standard error.
)";

// Clears the process-wide logger pointer before the logger itself goes.
struct LoggerInstallation
{
    ~LoggerInstallation() { Logging::setInstance(nullptr); }
};

// Runs the server's launching process, which returns once a new server has written its port file
// (or failed), and at once when one already runs. Its output is passed on so that the client sees
// the server's start-up errors; the client's input is not its business. Negative when the program
// did not start (-2) or crashed (-1), else its exit status.
int runServerProgram()
{
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedChannels);
    server.setStandardInputFile(QProcess::nullDevice());
    server.start(QStringLiteral("lumen_server"), QStringList());
    if (!server.waitForFinished(-1) || server.error() == QProcess::FailedToStart) {
        return -2;
    }
    return server.exitStatus() == QProcess::NormalExit ? server.exitCode() : -1;
}

// Ends the TLS session properly so that the server does not see a broken connection.
void closeConnection(QSslSocket &socket)
{
    if (socket.state() == QAbstractSocket::UnconnectedState) {
        return;
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState) {
        socket.waitForDisconnected(1000);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const int answered = answerPlainCommandLine(argc, argv, "lumen_sci", help);
    if (answered >= 0) {
        return answered;
    }
    QCoreApplication app(argc, argv);
    setApplicationIdentity();
    appendProgramFolderToPath();

    const QString userPath = Settings::userPath();
    const QString logLevelName = Settings::logLevelName();
    const QString portFilePath = Settings::userFile(userPath, QStringLiteral("server_port"));
    const QString certificatePath = Settings::userFile(userPath, QStringLiteral("../server_cert"));
    const QString privateKeyPath = Settings::userFile(userPath, QStringLiteral("../server_key"));

    StderrLogging logger;
    Logging::setInstance(&logger);
    LoggerInstallation loggerInstallation;
    logger.setLevel(Logging::levelFromName(logLevelName));

    // The server cannot open its log without this directory. Made here too, so that a server that
    // fails to start can still be told apart from a folder that cannot be made.
    QString error;
    if (!makePrivatePath(userPath, error)) {
        logMessage(Logging::Critical,
                   QStringLiteral("Failed to create the server directory \"%1\": %2").arg(userPath, error));
        return 1;
    }

    if (runServerProgram() < 0) {
        logMessage(Logging::Warning, QStringLiteral("Failed to start the server"));
    }

    QSslSocket socket;
    if (!connectToServer(socket, portFilePath, certificatePath, privateKeyPath)) {
        return 1;
    }
    auto relay = std::make_unique<RxRelay>(&socket);
    logMessage(Logging::Info,
               QStringLiteral("Starting the sci version %1").arg(QCoreApplication::applicationVersion()));

    const int status = app.exec();
    logMessage(Logging::Info, QStringLiteral("Exiting the sci"));
    relay.reset();
    closeConnection(socket);
    return status;
}

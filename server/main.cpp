// lumen_server: the per-user daemon. The launching process returns once the daemon has finished
// starting (or failed), passing on every start-up error through the communication pipe.

#include "common/application_identity.h"
#include "common/files.h"
#include "common/plain_command_line.h"
#include "common/search_path.h"
#include "common/settings.h"
#include "server/process/daemon.h"
#include "server/process/daemon_launch.h"
#include "server/process/idle_exit.h"
#include "server/process/single_instance.h"

#include <QCoreApplication>

#include <sys/stat.h>

namespace {

const char *const help = R"(Usage: lumen_server [--help | --version]

The per-user daemon of Lumen Server: it keeps graphical X sessions running while viewers come
and go, and serves its clients over TLS. lumen_sci starts it when a client connects; started by
hand, it returns as soon as the server runs, or prints why it could not. A second start while one
runs does nothing. It ends itself after five minutes without sessions and clients; SIGTERM or
SIGINT stop it at once (the sessions go on, and the next start finds them); SIGHUP reopens its log.

Settings: ~/.config/Orvane/Lumen Server.conf
Files:    ~/.lumen_server/<host>/ (server_log, server_port, sessions/), created at the first start;
          the TLS certificate and key in ~/.lumen_server/
Sessions: run through the programs start-agent and start-app, found on PATH or next to lumen_server.
)";

} // namespace

int main(int argc, char *argv[])
{
    const int answered = answerPlainCommandLine(argc, argv, "lumen_server", help);
    if (answered >= 0) {
        return answered;
    }
    QString error;
    if (!becomeDaemon(error)) {
        return failStartup(error);
    }
    ::umask(077);

    QCoreApplication app(argc, argv);
    setApplicationIdentity();
    appendProgramFolderToPath();
    IdleExit::global(); // created here so that it belongs to the main thread

    // The folder of the server's files, made before its name becomes the instance's id, so that
    // every later start resolves the same path.
    const QString userPath = Settings::userPath();
    if (!makePrivatePath(userPath, error)) {
        return failStartup(QStringLiteral("Failed to create the server directory \"%1\": %2").arg(userPath, error));
    }

    // One server for the same files, whoever USER claims to be.
    SingleInstance instance(userPath);
    switch (instance.tryLock(error)) {
    case SingleInstance::Outcome::Taken:
        break;
    case SingleInstance::Outcome::HeldByAnother:
        return 0;
    case SingleInstance::Outcome::Failed:
        return failStartup(error);
    }

    Daemon daemon;
    return daemon.run(app);
}

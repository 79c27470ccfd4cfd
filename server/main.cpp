// lumen_server: the per-user daemon. The launching process returns once the daemon has finished
// starting (or failed), passing on every start-up error through the communication pipe.

#include "common/application_identity.h"
#include "common/settings.h"
#include "server/process/daemon.h"
#include "server/process/daemon_launch.h"
#include "server/process/idle_exit.h"
#include "server/process/single_instance.h"

#include <QCoreApplication>

#include <sys/stat.h>

int main(int argc, char *argv[])
{
    QString error;
    if (!becomeDaemon(error)) {
        return failStartup(error);
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
        return failStartup(error);
    }

    Daemon daemon;
    return daemon.run(app);
}

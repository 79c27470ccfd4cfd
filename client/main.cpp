// lumen: the client of Lumen Server. It reaches a host's sessions through ssh and the host's relay
// lumen_sci, and opens a VNC viewer on them through an ssh tunnel.

#include "client/command_line/client_help.h"
#include "client/command_line/client_options.h"
#include "client/command_line/console.h"
#include "client/lumen_client.h"
#include "common/application_identity.h"
#include "common/search_path.h"

#include <QCoreApplication>

#include <pwd.h>
#include <unistd.h>

namespace {

// A relay run on this machine starts the server, which runs once per USER.
void ensureUser()
{
    if (qEnvironmentVariableIsEmpty("USER")) {
        if (const passwd *entry = ::getpwuid(::geteuid())) {
            qputenv("USER", entry->pw_name);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setApplicationIdentity();

    ClientOptions options;
    QString error;
    if (!ClientOptions::parse(app.arguments().mid(1), options, error)) {
        Console::error(error + QStringLiteral("\nSee: lumen --help"));
        return ClientError::Usage;
    }
    if (options.wantsHelp()) {
        Console::print(helpText(options.command()));
        return 0;
    }
    if (options.wantsVersion()) {
        Console::print(QStringLiteral("lumen %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    ensureUser();
    // For local: the relay next to lumen when PATH has none (a build folder, or a copy of the programs).
    appendProgramFolderToPath();
    return LumenClient(options).run();
}

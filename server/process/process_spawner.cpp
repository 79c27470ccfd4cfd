#include "server/process/process_spawner.h"

#include "server/process/child_reaper.h"
#include "server/session/pidfd.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

bool kernelHasPidfds()
{
    static const bool has = [] {
        const int own = pidfdOpen(qint32(::getpid()));
        if (own < 0) {
            return errno != ENOSYS;
        }
        ::close(own);
        return true;
    }();
    return has;
}

// The spawn's settings, released whatever happens.
class SpawnSetup
{
public:
    SpawnSetup()
    {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;

    // 0 or the error number of the first step that failed.
    int prepare(const QByteArray &workingDirectory)
    {
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        int result = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (result == 0 && !workingDirectory.isEmpty()) {
            result = ::posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.constData());
        }
        if (result == 0) {
            result = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        }
        if (result == 0) {
            result = ::posix_spawnattr_setsigmask(&attributes, &none);
        }
        if (result == 0) {
            result = ::posix_spawnattr_setsigdefault(&attributes, &all);
        }
        if (result == 0) {
            result = ::posix_spawnattr_setflags(&attributes,
                                                POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

} // namespace

bool spawnDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                   qint64 &pid, QString &error)
{
    if (!kernelHasPidfds()) {
        // Nothing could tell the reaper when the child ends: the grandchild of a double fork needs no reaper.
        if (!QProcess::startDetached(program, arguments, workingDirectory, &pid)) {
            error = QStringLiteral("The program could not be started");
            return false;
        }
        return true;
    }
    std::vector<QByteArray> encoded;
    encoded.reserve(size_t(arguments.size()) + 1);
    encoded.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments) {
        encoded.push_back(argument.toLocal8Bit());
    }
    std::vector<char *> argv;
    argv.reserve(encoded.size() + 1);
    for (QByteArray &text : encoded) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    SpawnSetup setup;
    int result = setup.prepare(QFile::encodeName(workingDirectory));
    pid_t child = 0;
    if (result == 0) {
        result = ::posix_spawnp(&child, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
    }
    if (result != 0) {
        error = qt_error_string(result);
        return false;
    }
    // The child is this process's and not yet waited for, so its id cannot name another process.
    ChildReaper::global().adopt(child, pidfdOpen(qint32(child)));
    pid = child;
    return true;
}

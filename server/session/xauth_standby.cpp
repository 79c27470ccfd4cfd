#include "server/session/xauth_standby.h"

#include "server/process/child_reaper.h"
#include "server/session/pidfd.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
const QString xauth = QStringLiteral("xauth");
// As long as the caller's own run would be given.
constexpr int runTimeoutMs = 10000;
// Long enough for a start's answer to be on its way.
constexpr int prepareDelayMs = 50;

// What tells one program file from another put in its place: a test, or an update, may replace it.
struct ProgramIdentity
{
    QString path;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified = {};
    off_t size = 0;

    bool operator==(const ProgramIdentity &other) const
    {
        return path == other.path && device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
    }
};

bool identify(ProgramIdentity &identity)
{
    identity.path = QStandardPaths::findExecutable(xauth);
    struct stat info;
    if (identity.path.isEmpty() || ::stat(QFile::encodeName(identity.path).constData(), &info) != 0) {
        return false;
    }
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.modified = info.st_mtim;
    identity.size = info.st_size;
    return true;
}

void closeDescriptor(int &descriptor)
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

QString filePrefix()
{
    return QStringLiteral("authority-%1-").arg(::getpid());
}
} // namespace

struct XauthStandby::Process
{
    ~Process()
    {
        closeDescriptor(input);
        closeDescriptor(errors);
        closeDescriptor(pidfd);
    }

    QString folder;
    QString file; // the one it writes
    ProgramIdentity program;
    pid_t pid = -1;
    int input = -1;  // its standard input, a socket so that a write to one that ended raises no SIGPIPE
    int errors = -1; // its standard error, read and dropped: a failed run is done again by the caller
    int pidfd = -1;
};

XauthStandby &XauthStandby::global()
{
    static XauthStandby standby;
    return standby;
}

XauthStandby::XauthStandby() = default;

XauthStandby::~XauthStandby()
{
    // Its input closes with the process: the standby reads its end and leaves.
    QMutexLocker locker(&lock);
    ready.reset();
}

void XauthStandby::setEnabled(bool on)
{
    QMutexLocker locker(&lock);
    enabled = on;
}

bool XauthStandby::isReady(const QString &folder)
{
    QMutexLocker locker(&lock);
    return ready && ready->folder == folder;
}

int XauthStandby::standbyRuns()
{
    QMutexLocker locker(&lock);
    return runs;
}

bool XauthStandby::run(const QString &folder, const QByteArray &commands, const QString &target)
{
    std::unique_ptr<Process> process;
    {
        QMutexLocker locker(&lock);
        if (!enabled) {
            return false;
        }
        if (ready && ready->folder == folder) {
            process = std::move(ready);
        }
    }
    bool done = false;
    ProgramIdentity now;
    if (process && identify(now) && now == process->program) {
        done = finish(*process, commands)
            && ::rename(QFile::encodeName(process->file).constData(), QFile::encodeName(target).constData()) == 0;
        if (!done) {
            QFile::remove(process->file);
        }
    } else if (process) {
        letGo(std::move(process));
    }
    if (done) {
        QMutexLocker locker(&lock);
        ++runs;
    }
    return done;
}

void XauthStandby::prepareSoon(const QString &folder)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        prepare(folder);
        return;
    }
    // The timer is started on the application's thread, which runs the event loop.
    QMetaObject::invokeMethod(
        application,
        [this, folder, application] { QTimer::singleShot(prepareDelayMs, application, [this, folder] { prepare(folder); }); },
        Qt::QueuedConnection);
}

void XauthStandby::prepare(const QString &folder)
{
    quint64 number = 0;
    bool firstInFolder = false;
    {
        QMutexLocker locker(&lock);
        if (!enabled || preparing || (ready && ready->folder == folder)) {
            return;
        }
        preparing = true;
        number = ++started;
        firstInFolder = !cleanedFolders.contains(folder);
        cleanedFolders.insert(folder);
    }
    QThreadPool::globalInstance()->start([this, folder, number, firstInFolder] {
        // A link in its place could lead the clearing below into any folder: no standby then.
        if (QFileInfo(folder).isSymLink()) {
            QMutexLocker locker(&lock);
            preparing = false;
            return;
        }
        if (firstInFolder) {
            // Files an earlier server left, its standby's locks among them.
            QDir existing(folder);
            for (const QString &name : existing.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
                if (!name.startsWith(filePrefix())) {
                    existing.remove(name);
                }
            }
        }
        std::unique_ptr<Process> next = start(folder, number);
        std::unique_ptr<Process> replaced;
        QMutexLocker locker(&lock);
        preparing = false;
        if (next) {
            replaced = std::move(ready);
            ready = std::move(next);
        }
        locker.unlock();
        letGo(std::move(replaced));
    });
}

std::unique_ptr<XauthStandby::Process> XauthStandby::start(const QString &folder, quint64 number)
{
    auto process = std::make_unique<Process>();
    process->folder = folder;
    process->file = QDir(folder).filePath(filePrefix() + QString::number(number));
    if (!QDir().mkpath(folder) || !identify(process->program)) {
        return nullptr;
    }
    int input[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        return nullptr;
    }
    process->input = input[0];
    int errors[2];
    if (::pipe2(errors, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(input[1]);
        return nullptr;
    }
    process->errors = errors[0];

    const QByteArray program = QFile::encodeName(process->program.path);
    const QByteArray file = QFile::encodeName(process->file);
    const QByteArray directory = QFile::encodeName(folder);
    char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>("-f"), const_cast<char *>(file.constData()),
                    const_cast<char *>("source"), const_cast<char *>("-"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    ::posix_spawn_file_actions_addchdir_np(&actions, directory.constData());
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(input[1]);
    ::close(errors[1]);
    if (result != 0) {
        return nullptr;
    }
    process->pid = pid;
    process->pidfd = pidfdOpen(qint32(pid));
    if (process->pidfd < 0) {
        // Without a descriptor its end cannot be waited for with a time limit: it goes now.
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return nullptr;
    }
    return process;
}

bool XauthStandby::finish(Process &process, const QByteArray &commands)
{
    qsizetype sent = 0;
    while (sent < commands.size()) {
        const ssize_t written = ::send(process.input, commands.constData() + sent, size_t(commands.size() - sent), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break; // it has gone; its status says how
        }
        sent += written;
    }
    closeDescriptor(process.input);

    const QDeadlineTimer deadline(runTimeoutMs);
    bool ended = false;
    while (!ended && !deadline.hasExpired()) {
        pollfd watched[2] = {{process.pidfd, POLLIN, 0}, {process.errors, POLLIN, 0}};
        const nfds_t count = process.errors >= 0 ? 2 : 1;
        const int readyCount = ::poll(watched, count, int(deadline.remainingTime()));
        if (readyCount < 0 && errno != EINTR) {
            break;
        }
        ended = readyCount > 0 && watched[0].revents != 0;
        if (count == 2 && watched[1].revents != 0) {
            char dropped[4096];
            const ssize_t got = ::read(process.errors, dropped, sizeof dropped);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                closeDescriptor(process.errors);
            }
        }
    }
    if (!ended) {
        // Not yet waited for, so the id is still this child's.
        ::kill(process.pid, SIGKILL);
    }
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(process.pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    process.pid = -1;
    return ended && waited > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void XauthStandby::letGo(std::unique_ptr<Process> process)
{
    if (!process) {
        return;
    }
    // End of input: it leaves without writing; the reaper waits for it.
    closeDescriptor(process->input);
    ChildReaper::global().adopt(process->pid, process->pidfd);
    process->pidfd = -1;
}

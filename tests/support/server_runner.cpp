#include "tests/support/server_runner.h"

#include "tests/support/rpc_client.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// What a new user namespace is given: its user and group mapped to those of this process, and the
// inotify watch limit. Made before the fork, so that the child only opens and writes files.
struct NamespaceTexts
{
    explicit NamespaceTexts(int watches)
        : uidMap(QByteArray::number(::getuid()) + ' ' + QByteArray::number(::getuid()) + " 1\n")
        , gidMap(QByteArray::number(::getgid()) + ' ' + QByteArray::number(::getgid()) + " 1\n")
        , limit(QByteArray::number(watches) + '\n')
    {
    }
    QByteArray uidMap;
    QByteArray gidMap;
    QByteArray limit;
};

bool writeText(const char *path, const char *text, size_t length)
{
    const int file = ::open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    const bool written = ::write(file, text, length) == ssize_t(length);
    ::close(file);
    return written;
}

bool writeText(const char *path, const QByteArray &text)
{
    return writeText(path, text.constData(), size_t(text.size()));
}

// In a child about to exec: enters a new user namespace and limits its inotify watches.
bool enterLimitedNamespace(const NamespaceTexts &texts)
{
    return ::unshare(CLONE_NEWUSER) == 0 && writeText("/proc/self/uid_map", texts.uidMap)
        && writeText("/proc/self/setgroups", "deny", 4) && writeText("/proc/self/gid_map", texts.gidMap)
        && writeText("/proc/sys/user/max_inotify_watches", texts.limit);
}

} // namespace

ServerRunner::ServerRunner(const TestEnvironment &environment)
    : env(environment)
{
}

ServerRunner::~ServerRunner()
{
    const qint64 running = pid() ? pid() : lastPid;
    if (running > 0 && isProcessAlive(running)) {
        ::kill(static_cast<pid_t>(running), SIGTERM);
        QDeadlineTimer deadline(10000);
        while (isProcessAlive(running) && !deadline.hasExpired()) {
            QThread::msleep(20);
        }
        if (isProcessAlive(running)) {
            ::kill(static_cast<pid_t>(running), SIGKILL);
        }
    }
}

bool ServerRunner::connectClient(RpcClient &client) const
{
    QString error;
    return client.setIdentity(env.userFile("../server_cert"), env.userFile("../server_key"), error)
        && client.connectToServer(port());
}

LaunchResult ServerRunner::launch(int timeoutMs)
{
    LaunchResult result;
    QProcess process;
    process.setProcessEnvironment(env.processEnvironment());
    const quint64 soft = openFileLimit;
    const bool limitWatches = inotifyWatchLimit >= 0;
    const NamespaceTexts texts(inotifyWatchLimit);
    process.setChildProcessModifier([soft, limitWatches, &texts] {
        struct rlimit limit;
        if (soft > 0 && ::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = soft < limit.rlim_max ? rlim_t(soft) : limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (limitWatches && !enterLimitedNamespace(texts)) {
            ::_exit(125);
        }
    });
    process.start(TestEnvironment::binary("lumen_server"), {});
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    if (pid()) {
        lastPid = pid();
    }
    return result;
}

void ServerRunner::setOpenFileLimit(quint64 softLimit)
{
    openFileLimit = softLimit;
}

void ServerRunner::setInotifyWatchLimit(int watches)
{
    inotifyWatchLimit = watches;
}

bool ServerRunner::canLimitInotifyWatches()
{
    // Tried in a child, which ends right after.
    const NamespaceTexts texts(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(enterLimitedNamespace(texts) ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

qint64 ServerRunner::pid() const
{
    QFile file(env.userFile("server_pid"));
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return file.readAll().trimmed().toLongLong();
}

quint16 ServerRunner::port() const
{
    QFile file(env.userFile("server_port"));
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return file.readAll().trimmed().toUShort();
}

bool ServerRunner::isRunning() const
{
    return isProcessAlive(pid() ? pid() : lastPid);
}

bool ServerRunner::waitForFile(const QString &name, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!QFile::exists(env.userFile(name))) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool ServerRunner::stop(int signal, int timeoutMs)
{
    const qint64 running = pid() ? pid() : lastPid;
    if (running <= 0) {
        return false;
    }
    lastPid = running;
    ::kill(static_cast<pid_t>(running), signal);
    return waitForExit(timeoutMs);
}

bool ServerRunner::waitForExit(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (isProcessAlive(lastPid ? lastPid : pid())) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

int ServerRunner::descriptorCount(bool socketsOnly) const
{
    const QDir fds(QString("/proc/%1/fd").arg(pid() ? pid() : lastPid));
    if (!fds.exists()) {
        return -1;
    }
    int count = 0;
    for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        count += !socketsOnly || fd.symLinkTarget().section('/', -1).startsWith("socket:[") ? 1 : 0;
    }
    return count;
}

qint64 ServerRunner::residentKiB() const
{
    QFile status(QString("/proc/%1/status").arg(pid() ? pid() : lastPid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

qint64 ServerRunner::cpuTimeMs() const
{
    QFile file(QString("/proc/%1/stat").arg(pid() ? pid() : lastPid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    // The fields after the command name, which may hold spaces: utime and stime are the 12th and 13th.
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

QString ServerRunner::log() const
{
    QFile file(env.userFile("server_log"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

bool ServerRunner::waitForLog(const QString &text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool ServerRunner::isProcessAlive(qint64 pid)
{
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) {
        return false;
    }
    // The daemon is nobody's child here: once it ends it may linger as a zombie until it is reaped.
    QFile status(QString("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray stat = status.readAll();
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

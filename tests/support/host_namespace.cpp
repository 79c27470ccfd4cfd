#include "tests/support/host_namespace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// "net:[<inode>]"; empty for a process that is gone or a zombie.
QByteArray networkNamespaceOf(qint64 pid)
{
    char target[64];
    const QByteArray link = QByteArrayLiteral("/proc/") + QByteArray::number(pid) + QByteArrayLiteral("/ns/net");
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    return length > 0 ? QByteArray(target, int(length)) : QByteArray();
}

// Signals the process only while it still is one of the host's: the pidfd keeps a reused id from
// being hit between the check and the signal.
void signalIfInside(qint64 pid, const QByteArray &networkNamespace, int signal)
{
    const int process = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (process < 0) {
        return; // gone already
    }
    if (networkNamespaceOf(pid) == networkNamespace) {
        ::syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0);
    }
    ::close(process);
}

} // namespace

HostNamespace::~HostNamespace()
{
    destroy();
}

bool HostNamespace::create(const QString &hostName, QString &error)
{
    name = hostName;
    // The holder dies with the test process, so even a crashed test leaves no namespace behind
    // once the daemons inside are gone.
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(QStringLiteral("setpriv"), {QStringLiteral("--pdeathsig"), QStringLiteral("KILL"), QStringLiteral("unshare"),
                                             QStringLiteral("--net"), QStringLiteral("--uts"), QStringLiteral("--mount"),
                                             QStringLiteral("--propagation"), QStringLiteral("private"),
                                             QStringLiteral("sleep"), QStringLiteral("infinity")});
    if (!holder.waitForStarted(10000)) {
        error = QStringLiteral("cannot start the holder of host %1: %2").arg(name, holder.errorString());
        return false;
    }
    // unshare execs sleep once the namespaces exist: until then the holder still shares the test's.
    const QByteArray machine = networkNamespaceOf(QCoreApplication::applicationPid());
    QDeadlineTimer deadline(10000);
    for (;;) {
        networkNamespace = networkNamespaceOf(holder.processId());
        const bool sleeping =
            QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(holder.processId())).endsWith(QStringLiteral("/sleep"));
        if (sleeping && !networkNamespace.isEmpty() && networkNamespace != machine) {
            break;
        }
        if (deadline.hasExpired() || holder.state() != QProcess::Running) {
            error = QStringLiteral("host %1 got no namespaces of its own (root and util-linux needed)").arg(name);
            return false;
        }
        QThread::msleep(5);
    }
    return run({QStringLiteral("hostname"), name}, error)
           && run({QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")},
                  error);
}

qint64 HostNamespace::holderPid() const
{
    return holder.processId();
}

QStringList HostNamespace::launcher() const
{
    return {QStringLiteral("nsenter"), QStringLiteral("-t"), QString::number(holderPid()), QStringLiteral("-n"),
            QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("--")};
}

bool HostNamespace::run(const QStringList &command, QByteArray &output, QString &error, int timeoutMs) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    start(process, command);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        error = QStringLiteral("on %1, %2 did not finish within %3 ms: %4")
                    .arg(name, command.join(QLatin1Char(' ')))
                    .arg(timeoutMs)
                    .arg(QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    output = process.readAll();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QStringLiteral("on %1, %2 failed with status %3: %4")
                    .arg(name, command.join(QLatin1Char(' ')))
                    .arg(process.exitCode())
                    .arg(QString::fromLocal8Bit(output).trimmed());
        return false;
    }
    return true;
}

bool HostNamespace::run(const QStringList &command, QString &error, int timeoutMs) const
{
    QByteArray ignored;
    return run(command, ignored, error, timeoutMs);
}

void HostNamespace::start(QProcess &process, const QStringList &command) const
{
    const QStringList full = launcher() + command;
    process.start(full.first(), full.mid(1));
}

bool HostNamespace::bind(const QString &source, const QString &target, QString &error) const
{
    return run({QStringLiteral("mount"), QStringLiteral("--bind"), source, target}, error);
}

QList<qint64> HostNamespace::processes() const
{
    QList<qint64> found;
    if (networkNamespace.isEmpty()) {
        return found;
    }
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && pid != holderPid() && networkNamespaceOf(pid) == networkNamespace) {
            found << pid;
        }
    }
    return found;
}

void HostNamespace::endProcesses(int graceMs)
{
    for (const qint64 pid : processes()) {
        signalIfInside(pid, networkNamespace, SIGTERM);
    }
    QDeadlineTimer deadline(graceMs);
    while (!processes().isEmpty() && !deadline.hasExpired()) {
        QThread::msleep(20);
    }
    for (const qint64 pid : processes()) {
        signalIfInside(pid, networkNamespace, SIGKILL);
    }
}

void HostNamespace::destroy()
{
    if (holder.state() == QProcess::NotRunning) {
        return;
    }
    endProcesses(3000);
    holder.kill();
    holder.waitForFinished(5000);
}

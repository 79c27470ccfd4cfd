#include "tests/support/network_namespaces.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace {

// A subnet reserved for private networks, used nowhere but inside the test's own namespaces.
const char *const subnetPrefix = "10.231.0.";

QList<qint64> processesIn(const QString &name)
{
    QProcess ip;
    ip.start("ip", {"netns", "pids", name});
    ip.waitForFinished(10000);
    QList<qint64> pids;
    for (const QByteArray &line : ip.readAllStandardOutput().split('\n')) {
        bool ok = false;
        const qint64 pid = line.trimmed().toLongLong(&ok);
        if (ok && pid > 0) {
            pids << pid;
        }
    }
    return pids;
}

} // namespace

NetworkNamespaces::NetworkNamespaces()
{
    const QString stem = QString("ld%1").arg(QCoreApplication::applicationPid());
    names << stem + "a" << stem + "b";
}

NetworkNamespaces::~NetworkNamespaces()
{
    for (const QString &name : std::as_const(created)) {
        endProcesses(name);
    }
    QString ignored;
    for (const QString &name : std::as_const(created)) {
        ip({"netns", "del", name}, ignored); // takes the veth end inside with it
    }
}

bool NetworkNamespaces::create(QString &error)
{
    for (const QString &name : std::as_const(names)) {
        if (!ip({"netns", "add", name}, error)) {
            return false;
        }
        created << name;
    }
    // Both ends are created right inside their namespaces, never in the test's own.
    if (!ip({"link", "add", name(0), "netns", name(0), "type", "veth", "peer", "name", name(1), "netns", name(1)}, error)) {
        return false;
    }
    for (int host = 0; host < hostCount; ++host) {
        if (!ip({"-n", name(host), "link", "set", "lo", "up"}, error)
            || !ip({"-n", name(host), "addr", "add", address(host) + "/24", "broadcast", broadcastAddress(), "dev", name(host)},
                   error)
            || !ip({"-n", name(host), "link", "set", name(host), "up"}, error)) {
            return false;
        }
    }
    return true;
}

QString NetworkNamespaces::name(int host) const
{
    return names.at(host);
}

QString NetworkNamespaces::address(int host) const
{
    return subnetPrefix + QString::number(host + 1);
}

QString NetworkNamespaces::broadcastAddress()
{
    return subnetPrefix + QString("255");
}

void NetworkNamespaces::start(int host, QProcess &process, const QString &program, const QStringList &arguments,
                              const QProcessEnvironment &environment) const
{
    process.setProcessEnvironment(environment);
    process.start("ip", QStringList({"netns", "exec", name(host), program}) + arguments);
}

bool NetworkNamespaces::run(int host, const QString &program, const QStringList &arguments,
                            const QProcessEnvironment &environment, QByteArray &output, QString &error,
                            int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start("ip", QStringList({"netns", "exec", name(host), program}) + arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        error = program + " did not finish";
        return false;
    }
    output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QString("%1 failed with status %2: %3")
                    .arg(program)
                    .arg(process.exitCode())
                    .arg(QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool NetworkNamespaces::ip(const QStringList &arguments, QString &error)
{
    QProcess process;
    process.start("ip", arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QString("ip %1: %2 %3")
                    .arg(arguments.join(' '), process.errorString(),
                         QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

// Only what runs inside the namespace: the test started all of it.
void NetworkNamespaces::endProcesses(const QString &name)
{
    for (const qint64 pid : processesIn(name)) {
        ::kill(pid_t(pid), SIGTERM);
    }
    QDeadlineTimer deadline(5000);
    while (!processesIn(name).isEmpty() && !deadline.hasExpired()) {
        QThread::msleep(50);
    }
    for (const qint64 pid : processesIn(name)) {
        ::kill(pid_t(pid), SIGKILL);
    }
}

#include "tests/support/network_namespaces.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace {

// Each instance of a run gets subnets of its own.
QAtomicInt instances;

// Where "ip netns exec" finds the files that replace /etc/hosts and the others in a namespace.
QString nameFolder(const QString &name)
{
    return "/etc/netns/" + name;
}

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

NetworkNamespaces::NetworkNamespaces(int sameSubnetHosts, int otherSubnetHosts)
    : sameSubnetHosts(sameSubnetHosts)
{
    const int instance = instances.fetchAndAddRelaxed(1);
    const QString stem = QString("ld%1n%2").arg(QCoreApplication::applicationPid()).arg(instance);
    for (int host = 0; host < sameSubnetHosts + otherSubnetHosts; ++host) {
        names << stem + QChar('a' + host);
    }
    router = stem + "r";
    // Private-range subnets (10.100.0.0 to 10.227.255.0), two per instance, picked by process id.
    subnetIndex = int((QCoreApplication::applicationPid() * 8 + instance * 2) % 32768);
}

NetworkNamespaces::~NetworkNamespaces()
{
    for (const QString &name : std::as_const(created)) {
        endProcesses(name);
    }
    QString ignored;
    for (const QString &name : std::as_const(created)) {
        ip({"netns", "del", name}, ignored); // takes the veth ends and bridges inside with it
        QDir(nameFolder(name)).removeRecursively();
    }
    QDir().rmdir("/etc/netns"); // only when no one else's namespace has files there
}

bool NetworkNamespaces::create(QString &error)
{
    for (const QString &name : names + QStringList{router}) {
        if (!ip({"netns", "add", name}, error)) {
            return false;
        }
        created << name;
        if (!ip({"-n", name, "link", "set", "lo", "up"}, error)) {
            return false;
        }
    }
    if (!ip({"netns", "exec", router, "sysctl", "-qw", "net.ipv4.ip_forward=1"}, error)) {
        return false;
    }
    // One bridge per subnet in the router, holding the router's address there.
    for (int subnet = 0; subnet < 2; ++subnet) {
        const QString bridge = QString("br%1").arg(subnet);
        if (!ip({"-n", router, "link", "add", bridge, "type", "bridge"}, error)
            || !ip({"-n", router, "addr", "add", subnetPrefix(subnet) + "254/24", "broadcast", subnetPrefix(subnet) + "255",
                    "dev", bridge},
                   error)
            || !ip({"-n", router, "link", "set", bridge, "up"}, error)) {
            return false;
        }
    }
    for (int host = 0; host < hostCount(); ++host) {
        // Both ends are created right inside their namespaces, never in the test's own.
        const QString port = QString("h%1").arg(host);
        const QString gateway = subnetPrefix(subnetOf(host)) + "254";
        if (!ip({"link", "add", "lan0", "netns", name(host), "type", "veth", "peer", "name", port, "netns", router}, error)
            || !ip({"-n", router, "link", "set", port, "master", QString("br%1").arg(subnetOf(host))}, error)
            || !ip({"-n", router, "link", "set", port, "up"}, error)
            || !ip({"-n", name(host), "addr", "add", address(host) + "/24", "broadcast", broadcastAddress(host), "dev", "lan0"},
                   error)
            || !ip({"-n", name(host), "link", "set", "lan0", "up"}, error)
            || !ip({"-n", name(host), "route", "add", "default", "via", gateway}, error) || !writeNameFiles(host, error)) {
            return false;
        }
    }
    return true;
}

int NetworkNamespaces::hostCount() const
{
    return names.size();
}

QString NetworkNamespaces::name(int host) const
{
    return names.at(host);
}

QString NetworkNamespaces::address(int host) const
{
    const int first = subnetOf(host) == 0 ? 0 : sameSubnetHosts;
    return subnetPrefix(subnetOf(host)) + QString::number(host - first + 1);
}

QString NetworkNamespaces::hostName(int host) const
{
    return QString("host") + QChar('a' + host);
}

QString NetworkNamespaces::broadcastAddress(int host) const
{
    return subnetPrefix(subnetOf(host)) + "255";
}

QString NetworkNamespaces::silentAddress(int host) const
{
    return subnetPrefix(subnetOf(host)) + "200";
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

int NetworkNamespaces::subnetOf(int host) const
{
    return host < sameSubnetHosts ? 0 : 1;
}

QString NetworkNamespaces::subnetPrefix(int subnet) const
{
    const int index = subnetIndex + subnet;
    return QString("10.%1.%2.").arg(100 + index / 256).arg(index % 256);
}

// The host's own hosts file, resolver and name service order, bound over the machine's by
// "ip netns exec": names of the test's hosts resolve, others go to a nameserver that is not there.
bool NetworkNamespaces::writeNameFiles(int host, QString &error) const
{
    QString hosts = "127.0.0.1 localhost\n";
    for (int other = 0; other < hostCount(); ++other) {
        hosts += address(other) + " " + hostName(other) + "\n";
    }
    const QList<QPair<QString, QString>> files = {
        {"hosts", hosts},
        {"resolv.conf", "nameserver " + silentAddress(host) + "\noptions timeout:1 attempts:1\n"},
        {"nsswitch.conf", "hosts: files dns\n"},
    };
    const QString folder = nameFolder(name(host));
    if (!QDir().mkpath(folder)) {
        error = "cannot create " + folder;
        return false;
    }
    for (const auto &[fileName, text] : files) {
        QFile file(folder + "/" + fileName);
        if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size()) {
            error = "cannot write " + file.fileName();
            return false;
        }
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                            | QFileDevice::ReadOther);
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

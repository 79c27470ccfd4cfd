#include "tests/support/slurm_cluster.h"

#include "tests/support/polling.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QAtomicInt clusterCounter;

// Cleans up after a test process that died without stopping its cluster (a crash, a kill by the
// test driver's time limit): it waits, detached, for that process to end, then ends everything
// left in the cluster's namespaces and removes its link, route and folder. The cluster names what
// it creates in files of the janitor's folder as it goes, and stops the janitor when it has
// cleaned up itself. Arguments: the test's pid, its start time, the cluster's folder.
const char *const janitorScript = R"script(
started=$2
alive() { # the same process (its start time), not yet a zombie
    set -- $(sed 's/.*) //' /proc/$1/stat 2>/dev/null | cut -d' ' -f1,20)
    [ "$2" = "$started" ] && [ "$1" != Z ] && [ "$1" != X ]
}
while alive $1; do sleep 0.5; done
notes=$3/janitor
[ -f $notes/namespaces ] && for pass in 1 2; do
    while read -r space; do
        for link in $(find /proc/[0-9]*/ns/net -maxdepth 0 -lname "net:\\[$space\\]" 2>/dev/null); do
            process=${link#/proc/}
            kill -9 ${process%%/*}
        done
    done < $notes/namespaces
done
[ -f $notes/uplink ] && ip link del "$(cat $notes/uplink)" 2>/dev/null
[ -f $notes/route ] && ip route del unreachable "$(cat $notes/route)" 2>/dev/null
rm -rf "$3"
)script";

// Route types that `ip route` writes before the destination.
const QStringList routeTypes = {"unicast", "local", "broadcast", "multicast", "unreachable",
                                "blackhole", "prohibit", "throw", "nat", "anycast"};

bool runHere(const QStringList &command, QByteArray &output, QString &error, int timeoutMs = 10000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished(5000);
        error = QStringLiteral("%1: %2 %3")
                    .arg(command.join(QLatin1Char(' ')), process.errorString(),
                         QString::fromLocal8Bit(process.readAll()).trimmed());
        return false;
    }
    output = process.readAll();
    return true;
}

bool runHere(const QStringList &command, QString &error)
{
    QByteArray ignored;
    return runHere(command, ignored, error);
}

// Whether a /24 overlaps any route of the machine (the default route aside, which covers all).
bool blockIsFree(const QString &block, const QByteArray &routes)
{
    const QPair<QHostAddress, int> candidate = QHostAddress::parseSubnet(block + QStringLiteral(".0/24"));
    for (const QByteArray &line : routes.split('\n')) {
        QStringList words = QString::fromLatin1(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.isEmpty() && routeTypes.contains(words.first())) {
            words.removeFirst();
        }
        if (words.isEmpty() || words.first() == QLatin1String("default")) {
            continue;
        }
        const QString destination = words.first().contains(QLatin1Char('/')) ? words.first() : words.first() + "/32";
        const QPair<QHostAddress, int> route = QHostAddress::parseSubnet(destination);
        if (route.first.isNull()) {
            continue;
        }
        if (route.first.isInSubnet(candidate) || candidate.first.isInSubnet(route)) {
            return false;
        }
    }
    return true;
}

QString accountHome()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_dir) : QString();
}

QByteArray readProcFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

// Field `number` (counted from 1, as proc(5) does) of /proc/<pid>/stat, from the fourth on.
QByteArray statField(qint64 pid, int number)
{
    // The command name in parentheses may hold spaces: the fields after the last ')' are fixed.
    const QByteArray stat = readProcFile(pid, "stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 1).split(' ');
    return fields.size() > number - 2 ? fields.at(number - 2) : QByteArray();
}

qint64 parentOf(qint64 pid)
{
    return statField(pid, 4).toLongLong();
}

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions permissions, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.setPermissions(permissions)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// The inode number in "net:[<inode>]".
QByteArray namespaceNumber(const HostNamespace &host)
{
    const QByteArray name = host.networkNamespaceName();
    return name.mid(name.indexOf('[') + 1).chopped(1);
}

} // namespace

SlurmCluster::SlurmCluster(const QString &home)
    : home(home)
{
    const int number = clusterCounter.fetchAndAddRelaxed(1);
    uplink = QStringLiteral("lms%1x%2").arg(QCoreApplication::applicationPid()).arg(number);
}

SlurmCluster::~SlurmCluster()
{
    stop();
}

QString SlurmCluster::hostName(Host which)
{
    return which == Login ? QStringLiteral("login") : QStringLiteral("node1");
}

QString SlurmCluster::address(Host which) const
{
    return block + (which == Login ? QStringLiteral(".2") : QStringLiteral(".6"));
}

QString SlurmCluster::path(const QString &name) const
{
    return dir.filePath(name);
}

bool SlurmCluster::start(QString &error)
{
    if (!dir.isValid()) {
        error = QStringLiteral("cannot create the cluster's folder");
        return false;
    }
    if (!startJanitor(error) || !login.create(hostName(Login), error)
        || !noteForJanitor(QStringLiteral("namespaces"), namespaceNumber(login), error) || !node.create(hostName(Node), error)
        || !noteForJanitor(QStringLiteral("namespaces"), namespaceNumber(node), error) || !reserveAddresses(error)
        || !createNetwork(error) || !writeFiles(error)) {
        return false;
    }
    // What a cluster shares or keeps apart, seen from its hosts only.
    for (const HostNamespace *host : {&login, &node}) {
        if (!host->bind(path(QStringLiteral("etc-slurm")), QStringLiteral("/etc/slurm"), error)
            || !host->bind(path(QStringLiteral("hosts")), QStringLiteral("/etc/hosts"), error)
            || !host->bind(home, accountHome(), error)) {
            return false;
        }
    }

    const QString munge = path(QStringLiteral("munge"));
    if (!startDaemon(munged, login, QStringLiteral("munged"),
                     {QStringLiteral("munged"), QStringLiteral("-F"), QStringLiteral("-f"), "--key-file=" + munge + "/key",
                      "--socket=" + path(QStringLiteral("munge-socket/socket")), "--log-file=" + munge + "/log",
                      "--pid-file=" + munge + "/pid", "--seed-file=" + munge + "/seed"},
                     error)) {
        return false;
    }
    if (!Polling::waitUntil([&] { return QFileInfo::exists(path(QStringLiteral("munge-socket/socket"))); }, 10000, 10)) {
        error = QStringLiteral("munged made no socket\n") + logs();
        return false;
    }
    if (!startDaemon(slurmctld, login, QStringLiteral("slurmctld"), {QStringLiteral("slurmctld"), QStringLiteral("-D"), QStringLiteral("-i")},
                     error)
        || !startDaemon(slurmd, node, QStringLiteral("slurmd"),
                        {QStringLiteral("slurmd"), QStringLiteral("-D"), QStringLiteral("-N"), hostName(Node)}, error)) {
        return false;
    }
    // "idle*" (or "unknown*") until slurmctld has heard from the node.
    if (!Polling::waitUntil([&] { return nodeState() == QLatin1String("idle"); }, 30000, 50)) {
        error = QStringLiteral("the node did not become idle (state \"%1\")\n").arg(nodeState()) + logs();
        return false;
    }
    return true;
}

bool SlurmCluster::startJanitor(QString &error)
{
    const QString self = QString::number(QCoreApplication::applicationPid());
    if (!QDir().mkpath(path(QStringLiteral("janitor")))
        || !QProcess::startDetached(QStringLiteral("sh"),
                                    {QStringLiteral("-c"), QLatin1String(janitorScript), QStringLiteral("lumen-cluster-janitor"),
                                     self, QString::fromLatin1(statField(QCoreApplication::applicationPid(), 22)), dir.path()},
                                    QString(), &janitor)) {
        error = QStringLiteral("cannot start the cluster's janitor");
        return false;
    }
    return true;
}

void SlurmCluster::stopJanitor()
{
    if (janitor <= 0) {
        return;
    }
    const int process = int(::syscall(SYS_pidfd_open, pid_t(janitor), 0));
    if (process >= 0) {
        if (readProcFile(janitor, "cmdline").contains(dir.path().toLocal8Bit())) {
            ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
        }
        ::close(process);
    }
    janitor = 0;
}

bool SlurmCluster::noteForJanitor(const QString &what, const QByteArray &value, QString &error)
{
    QFile notes(path(QStringLiteral("janitor/") + what));
    if (!notes.open(QIODevice::WriteOnly | QIODevice::Append) || notes.write(value + '\n') != value.size() + 1) {
        error = QStringLiteral("cannot write %1").arg(notes.fileName());
        return false;
    }
    return true;
}

bool SlurmCluster::reserveAddresses(QString &error)
{
    // A random /24 of 10.0.0.0/8 that no route of the machine touches; adding its unreachable route
    // fails when another run holds the same one, so two runs never share addresses.
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint32 draw = QRandomGenerator::global()->bounded(1u << 16);
        const QString candidate = QStringLiteral("10.%1.%2").arg(160 + draw % 64).arg(draw / 64 % 256);
        QByteArray routes;
        if (!runHere({QStringLiteral("ip"), QStringLiteral("-4"), QStringLiteral("-o"), QStringLiteral("route"),
                      QStringLiteral("show"), QStringLiteral("table"), QStringLiteral("all")},
                     routes, error)) {
            return false;
        }
        if (!blockIsFree(candidate, routes)) {
            continue;
        }
        const QString route = candidate + QStringLiteral(".0/24");
        if (runHere({QStringLiteral("ip"), QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("unreachable"), route},
                    error)) {
            block = candidate;
            routeHeld = route;
            return noteForJanitor(QStringLiteral("route"), route.toLatin1(), error);
        }
    }
    error = QStringLiteral("no free block of addresses for the cluster: ") + error;
    return false;
}

bool SlurmCluster::createNetwork(QString &error)
{
    const QString loginPid = QString::number(login.holderPid());
    const QString nodePid = QString::number(node.holderPid());
    // laptop .1 <-> .2 login .5 <-> .6 node; the login host forwards nothing.
    if (!noteForJanitor(QStringLiteral("uplink"), uplink.toLatin1(), error)
        || !runHere({"ip", "link", "add", uplink, "type", "veth", "peer", "name", "uplink", "netns", loginPid}, error)) {
        return false;
    }
    uplinkMade = true;
    return runHere({"ip", "addr", "add", block + ".1/30", "dev", uplink}, error)
           && runHere({"ip", "link", "set", uplink, "up"}, error)
           // Both ends of the cluster's own link are made right inside their hosts.
           && runHere({"ip", "link", "add", "cluster", "netns", loginPid, "type", "veth", "peer", "name", "cluster", "netns",
                       nodePid},
                      error)
           && login.run({"ip", "addr", "add", block + ".2/30", "dev", "uplink"}, error)
           && login.run({"ip", "link", "set", "uplink", "up"}, error)
           && login.run({"ip", "addr", "add", block + ".5/30", "dev", "cluster"}, error)
           && login.run({"ip", "link", "set", "cluster", "up"}, error)
           && node.run({"ip", "addr", "add", block + ".6/30", "dev", "cluster"}, error)
           && node.run({"ip", "link", "set", "cluster", "up"}, error);
}

bool SlurmCluster::writeFiles(QString &error)
{
    for (const char *folder : {"etc-slurm", "munge", "munge-socket", "state", "spool", "log"}) {
        if (!QDir().mkpath(path(QLatin1String(folder)))) {
            error = QStringLiteral("cannot create %1").arg(path(QLatin1String(folder)));
            return false;
        }
    }
    // munged insists: its key's folder private, the key read-only, the socket's folder open to all.
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(path(QStringLiteral("munge")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(path(QStringLiteral("munge-socket")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                    | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                                    | QFile::ExeOther);
    QByteArray key(1024, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(key.data()),
                                         reinterpret_cast<quint32 *>(key.data() + key.size()));
    if (!writeFile(path(QStringLiteral("munge/key")), key, QFile::ReadOwner, error)) {
        return false;
    }

    const QString hosts = QStringLiteral("127.0.0.1 localhost\n%1.5 %2\n%1.6 %3\n").arg(block, hostName(Login), hostName(Node));
    // A job id of its own kind, so that no job id matches some other number of a program's output.
    const quint32 firstJobId = QRandomGenerator::global()->bounded(100000u, 9000000u);
    const QString configuration =
        QStringLiteral("ClusterName=lumentest\n"
                       "SlurmctldHost=%1(%2.5)\n"
                       "AuthType=auth/munge\n"
                       "CredType=cred/munge\n"
                       "AuthInfo=socket=%3\n"
                       "SlurmUser=root\n"
                       "SlurmdUser=root\n"
                       "StateSaveLocation=%4/state\n"
                       "SlurmdSpoolDir=%4/spool/%n\n"
                       "SlurmctldPidFile=%4/state/slurmctld.pid\n"
                       "SlurmdPidFile=%4/spool/slurmd-%n.pid\n"
                       "SlurmctldLogFile=%4/log/slurmctld.log\n"
                       "SlurmdLogFile=%4/log/slurmd-%n.log\n"
                       // No cgroups: nothing of the machine's is touched. A job's processes are
                       // those that descend from its slurmstepd.
                       "ProctrackType=proctrack/linuxproc\n"
                       "TaskPlugin=task/none\n"
                       "JobAcctGatherType=jobacct_gather/none\n"
                       "MpiDefault=none\n"
                       "ReturnToService=2\n"
                       // Room for a clean stop between a job's SIGTERM and its SIGKILL.
                       "KillWait=10\n"
                       "SchedulerType=sched/builtin\n"
                       "SelectType=select/cons_tres\n"
                       "SelectTypeParameters=CR_Core\n"
                       // Four jobs at once, whatever the machine has.
                       "SlurmdParameters=config_overrides\n"
                       "FirstJobId=%5\n"
                       // One GPU that is no device: a job that asks for it gets CUDA_VISIBLE_DEVICES.
                       "GresTypes=gpu\n"
                       "NodeName=%6 NodeAddr=%2.6 CPUs=4 Gres=gpu:1 State=UNKNOWN\n"
                       "PartitionName=debug Nodes=%6 Default=YES MaxTime=INFINITE State=UP\n")
            .arg(hostName(Login), block, path(QStringLiteral("munge-socket/socket")), dir.path())
            .arg(firstJobId)
            .arg(hostName(Node));
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    return writeFile(path(QStringLiteral("hosts")), hosts.toLatin1(), readable, error)
           && writeFile(path(QStringLiteral("etc-slurm/slurm.conf")), configuration.toLocal8Bit(), readable, error)
           && writeFile(path(QStringLiteral("etc-slurm/gres.conf")),
                        QStringLiteral("NodeName=%1 Name=gpu File=/dev/null\n").arg(hostName(Node)).toLatin1(), readable,
                        error);
}

bool SlurmCluster::startDaemon(QProcess &daemon, const HostNamespace &where, const QString &name,
                               const QStringList &command, QString &error)
{
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.setStandardOutputFile(path(QStringLiteral("log/%1.out").arg(name)));
    where.start(daemon, command);
    if (!daemon.waitForStarted(10000)) {
        error = QStringLiteral("cannot start %1: %2").arg(name, daemon.errorString());
        return false;
    }
    return true;
}

void SlurmCluster::stopDaemon(QProcess &daemon)
{
    if (daemon.state() == QProcess::NotRunning) {
        return;
    }
    daemon.terminate();
    if (!daemon.waitForFinished(5000)) {
        daemon.kill();
        daemon.waitForFinished(5000);
    }
}

void SlurmCluster::stop()
{
    // Each daemon stops at once while the ones it reports to still run.
    stopDaemon(slurmd);
    stopDaemon(slurmctld);
    stopDaemon(munged);
    // Jobs, sshd, servers and sessions: whatever else runs on the hosts.
    node.destroy();
    login.destroy();
    QString ignored;
    if (uplinkMade) {
        runHere({QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("del"), uplink}, ignored);
        uplinkMade = false;
    }
    if (!routeHeld.isEmpty()) {
        runHere({QStringLiteral("ip"), QStringLiteral("route"), QStringLiteral("del"), QStringLiteral("unreachable"), routeHeld},
                ignored);
        routeHeld.clear();
    }
    stopJanitor();
}

bool SlurmCluster::onLogin(const QStringList &command, QByteArray &output, QString &error, int timeoutMs) const
{
    return login.run(command, output, error, timeoutMs);
}

QString SlurmCluster::nodeState() const
{
    QByteArray output;
    QString error;
    if (!onLogin({QStringLiteral("sinfo"), QStringLiteral("-h"), QStringLiteral("-n"), hostName(Node), QStringLiteral("-o"),
                  QStringLiteral("%T")},
                 output, error, 10000)) {
        return QString();
    }
    return QString::fromLocal8Bit(output).trimmed();
}

QString SlurmCluster::logs() const
{
    QString text;
    const QStringList names = QDir(path(QStringLiteral("log"))).entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(path(QStringLiteral("log/") + name));
        if (file.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = file.readAll().split('\n');
            text += QStringLiteral("--- %1\n").arg(name);
            for (qsizetype i = qMax<qsizetype>(0, lines.size() - 15); i < lines.size(); ++i) {
                text += QString::fromLocal8Bit(lines.at(i)) + QLatin1Char('\n');
            }
        }
    }
    return text;
}

QString SlurmCluster::jobTreeOf(qint64 pid)
{
    static const QRegularExpression stepd(QStringLiteral("^slurmstepd: \\[(\\d+)\\.batch\\]"));
    for (qint64 ancestor = parentOf(pid), steps = 0; ancestor > 1 && steps < 64; ancestor = parentOf(ancestor), ++steps) {
        const QRegularExpressionMatch match = stepd.match(QString::fromLocal8Bit(readProcFile(ancestor, "cmdline")));
        if (match.hasMatch()) {
            return match.captured(1);
        }
    }
    return QString();
}

QList<qint64> SlurmCluster::sessionProcesses(const QString &folder)
{
    QList<qint64> found;
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QByteArray marker = "LUMEN_SESSION=";
    const QByteArray folderName = QFileInfo(folder).fileName().toLatin1();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        bool ours = !canonical.isEmpty() && QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid)) == canonical;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!ours && environ.open(QIODevice::ReadOnly)) {
            for (const QByteArray &variable : environ.readAll().split('\0')) {
                ours = ours || (variable.startsWith(marker) && variable.endsWith("/" + folderName));
            }
        }
        if (ours) {
            found << pid;
        }
    }
    return found;
}

QString SlurmCluster::jobOfProcess(qint64 pid)
{
    const QString stepJob = jobTreeOf(pid);
    if (stepJob.isEmpty()) {
        return QString();
    }
    for (const QByteArray &variable : readProcFile(pid, "environ").split('\0')) {
        if (variable == "SLURM_JOB_ID=" + stepJob.toLatin1()) {
            return stepJob;
        }
    }
    return QString();
}

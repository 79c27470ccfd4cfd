#include "job/node_server.h"

#include "common/logging.h"
#include "server/session/pidfd.h"
#include "server/session/value_files.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString serverName = QStringLiteral("lumen_server");
// A server that ends sooner than this after its start counts as a failed start.
constexpr qint64 quickMs = 10000;
constexpr int longestRetryMs = 60000;

QByteArray procText(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
}

// The process is this user's lumen_server (an upgraded binary shows " (deleted)" after its name).
bool isOurServer(qint64 pid)
{
    struct stat info;
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    return ::stat(QFile::encodeName(QStringLiteral("/proc/%1").arg(pid)).constData(), &info) == 0
           && info.st_uid == ::getuid() && QFileInfo(exe).fileName().startsWith(serverName);
}

qint64 parentOf(qint64 pid)
{
    const QByteArray stat = procText(pid, "stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 1).split(' ');
    return fields.size() > 2 ? fields.at(2).toLongLong() : 0;
}

} // namespace

NodeServer::NodeServer(const QString &program, const QProcessEnvironment &environment, const QString &pidPath,
                       QObject *parent)
    : QObject(parent)
    , program(program)
    , environment(environment)
    , pidPath(pidPath)
{
    launcher.setProcessEnvironment(environment);
    launcher.setStandardInputFile(QProcess::nullDevice());
    // The launching process passes the daemon's start-up errors on through its standard error.
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    connect(&launcher, &QProcess::finished, this, &NodeServer::Launcher_finished);
    connect(&launcher, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            retryLater(QStringLiteral("Failed to run the program \"%1\": %2").arg(this->program, launcher.errorString()));
        }
    });
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &NodeServer::ensure);
}

NodeServer::~NodeServer()
{
    unfollow();
}

QString NodeServer::defaultProgram()
{
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + serverName;
    return QFileInfo(beside).isExecutable() ? beside : serverName;
}

void NodeServer::ensure()
{
    active = true;
    if (pidfd >= 0 || launcher.state() != QProcess::NotRunning || follow()) {
        return;
    }
    sinceLaunch.start();
    launcher.start(program, QStringList());
}

void NodeServer::Launcher_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString output = QString::fromLocal8Bit(launcher.readAll()).trimmed();
    if (!active) {
        return;
    }
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        retryLater(QStringLiteral("The server did not start (status %1): %2").arg(exitCode).arg(output));
        return;
    }
    if (!follow()) {
        retryLater(QStringLiteral("The server started but \"%1\" names no running server").arg(pidPath));
    }
}

bool NodeServer::follow()
{
    int found = 0;
    QString ignored;
    if (!readFileInt(pidPath, found, ignored) || found <= 0) {
        return false;
    }
    // Opened before the check, so that the process checked is the one followed.
    const int descriptor = pidfdOpen(found);
    if (descriptor < 0) {
        return false;
    }
    if (!isOurServer(found)) {
        ::close(descriptor);
        return false;
    }
    pid = found;
    pidfd = descriptor;
    ended = new QSocketNotifier(pidfd, QSocketNotifier::Read, this);
    connect(ended, &QSocketNotifier::activated, this, &NodeServer::Server_ended);
    logMessage(Logging::Debug1, QStringLiteral("Following the server with pid \"%1\"").arg(pid));
    return true;
}

void NodeServer::unfollow()
{
    delete ended;
    ended = nullptr;
    if (pidfd >= 0) {
        ::close(pidfd);
        pidfd = -1;
    }
    pid = 0;
}

void NodeServer::Server_ended()
{
    // A server this job started is a child of lumen-job: collect it.
    if (pid > 0) {
        ::waitpid(pid_t(pid), nullptr, WNOHANG);
    }
    unfollow();
    if (!active) {
        return;
    }
    if (sinceLaunch.isValid() && sinceLaunch.elapsed() < quickMs) {
        retryLater(QStringLiteral("The server ended soon after its start"));
        return;
    }
    logMessage(Logging::Info, QStringLiteral("The server of this host ended; starting another"));
    quickFailures = 0;
    ensure();
}

void NodeServer::retryLater(const QString &reason)
{
    const int delayMs = qMin(longestRetryMs, 1000 << qMin(quickFailures, 6));
    ++quickFailures;
    logMessage(Logging::Warning, QStringLiteral("%1; trying again in %2 s").arg(reason).arg(delayMs / 1000));
    retry.start(delayMs);
}

bool NodeServer::isOwnRunning() const
{
    pollfd ended = {pidfd, POLLIN, 0};
    return pidfd >= 0 && ::poll(&ended, 1, 0) == 0 && parentOf(pid) == ::getpid();
}

void NodeServer::hold()
{
    active = false;
    retry.stop();
}

void NodeServer::stop(int timeoutMs)
{
    hold();
    if (launcher.state() != QProcess::NotRunning) {
        launcher.waitForFinished(timeoutMs);
    }
    // Only a server of this job's own: the servers other jobs started are theirs to end.
    if (pidfd >= 0 && parentOf(pid) == ::getpid()) {
        pidfdSendSignal(pidfd, SIGTERM);
        pollfd ready = {pidfd, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) <= 0) {
            pidfdSendSignal(pidfd, SIGKILL);
            ::poll(&ready, 1, timeoutMs);
        }
        ::waitpid(pid_t(pid), nullptr, WNOHANG);
    }
    unfollow();
}

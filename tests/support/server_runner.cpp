#include "tests/support/server_runner.h"

#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

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

LaunchResult ServerRunner::launch(int timeoutMs)
{
    LaunchResult result;
    QProcess process;
    process.setProcessEnvironment(env.processEnvironment());
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

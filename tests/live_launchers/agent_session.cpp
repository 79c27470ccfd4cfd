#include "agent_session.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace {

// Other test areas use displays 100 to 159; each session here takes the next free one.
constexpr int FirstDisplay = 160;
constexpr int DisplayCount = 40;
int nextCandidate = 0;

bool portFree(int port)
{
    QTcpServer server;
    return server.listen(QHostAddress::Any, quint16(port));
}

bool displayFree(int display)
{
    for (const QString &path : {QStringLiteral("/tmp/.X%1-lock"), QStringLiteral("/tmp/.X11-unix/X%1"),
                                QStringLiteral("/tmp/Xrdp_%1.sock")}) {
        if (QFileInfo::exists(path.arg(display)) || QFileInfo(path.arg(display)).isSymLink()) {
            return false;
        }
    }
    return portFree(6000 + display) && portFree(41000 + display);
}

QString readProcFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

} // namespace

AgentSession::AgentSession(const TestEnvironment &environment)
    : environment(environment)
{
}

AgentSession::~AgentSession()
{
    if (pid > 0 && isAlive(pid)) {
        ::kill(pid_t(pid), SIGTERM);
        if (!waitForLauncherEnd(10000)) {
            ::kill(pid_t(pid), SIGKILL);
        }
    }
    const qint64 xPid = xServerPid();
    if (xPid > 0 && isAlive(xPid) && readProcFile(xPid, "cmdline").contains(QStringLiteral("Xtigervnc"))) {
        ::kill(pid_t(xPid), SIGKILL);
    }
}

bool AgentSession::prepare(QString &error)
{
    for (int tried = 0; tried < DisplayCount && displayNumber < 0; ++tried) {
        const int candidate = FirstDisplay + (nextCandidate++ % DisplayCount);
        if (displayFree(candidate)) {
            displayNumber = candidate;
        }
    }
    if (displayNumber < 0) {
        error = QStringLiteral("no free display from %1 to %2").arg(FirstDisplay).arg(FirstDisplay + DisplayCount - 1);
        return false;
    }
    // As deep as a real one can be: longer than a Unix socket path may be.
    sessionDir = environment.root()
        + QStringLiteral("/home/a-rather-long-user-name/.lumen_server/a-long-host-name.example.org/sessions/C-%1")
              .arg(displayNumber, 32, 10, QLatin1Char('0'));
    if (!QDir().mkpath(sessionDir)) {
        error = QStringLiteral("cannot create %1").arg(sessionDir);
        return false;
    }
    QFile::setPermissions(sessionDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // As the server does it: the display number, then one cookie for the local and the host-name display.
    QFile displayFile(file(QStringLiteral("display")));
    if (!displayFile.open(QIODevice::WriteOnly) || displayFile.write(QByteArray::number(displayNumber)) <= 0) {
        error = QStringLiteral("cannot write %1").arg(displayFile.fileName());
        return false;
    }
    displayFile.close();
    for (int part = 0; part < 4; ++part) {
        authorityCookie += QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    }
    const QString number = QString::number(displayNumber);
    for (const QString &name : {"unix:" + number, QHostInfo::localHostName() + ":" + number}) {
        QProcess xauth;
        xauth.setWorkingDirectory(sessionDir);
        xauth.start(QStringLiteral("xauth"),
                    {QStringLiteral("-f"), file(QStringLiteral("authority")), QStringLiteral("add"), name,
                     QStringLiteral("MIT-MAGIC-COOKIE-1"), authorityCookie});
        if (!xauth.waitForFinished(10000) || xauth.exitStatus() != QProcess::NormalExit || xauth.exitCode() != 0) {
            error = QStringLiteral("xauth failed: %1").arg(QString::fromLocal8Bit(xauth.readAllStandardError()));
            return false;
        }
    }
    return true;
}

bool AgentSession::start(const QStringList &arguments, QString &error)
{
    QProcess process;
    process.setProgram(TestEnvironment::binary(QStringLiteral("start-agent")));
    process.setArguments(arguments);
    process.setWorkingDirectory(sessionDir);
    process.setProcessEnvironment(environment.processEnvironment());
    if (!process.startDetached(&pid)) {
        error = QStringLiteral("start-agent could not be started: %1").arg(process.errorString());
        return false;
    }
    return true;
}

bool AgentSession::startAndWaitUntilUp(const QString &geometry, QString &error)
{
    if (!prepare(error) || !start(geometry, error)) {
        return false;
    }
    if (waitForLogLine(QStringLiteral("RDP initialized at '\\S*'"), 15000).isEmpty()) {
        error = QStringLiteral("no \"RDP initialized at\" within 15 s; log:\n%1").arg(logLines().join('\n'));
        return false;
    }
    return true;
}

QString AgentSession::readFile(const QString &name) const
{
    QFile handle(file(name));
    return handle.open(QIODevice::ReadOnly) ? QString::fromUtf8(handle.readAll()) : QString();
}

qint64 AgentSession::xServerPid() const
{
    if (displayNumber < 0) {
        return 0;
    }
    QFile lock(lockFilePath());
    return lock.open(QIODevice::ReadOnly) ? lock.readAll().trimmed().toLongLong() : 0;
}

QStringList AgentSession::logLines() const
{
    QStringList lines = readFile(QStringLiteral("server_log")).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

QString AgentSession::waitForLogLine(const QString &pattern, int timeoutMs) const
{
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern));
    QDeadlineTimer deadline(timeoutMs);
    do {
        for (const QString &line : logLines()) {
            if (expression.match(line).hasMatch()) {
                return line;
            }
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return QString();
}

int AgentSession::countLogLines(const QString &pattern) const
{
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern));
    int count = 0;
    for (const QString &line : logLines()) {
        count += expression.match(line).hasMatch() ? 1 : 0;
    }
    return count;
}

QJsonObject AgentSession::info(QString *error) const
{
    QLocalSocket socket;
    socket.connectToServer(infoSocketPath());
    if (!socket.waitForConnected(1000)) {
        if (error) {
            *error = socket.errorString();
        }
        return {};
    }
    // The agent sends one object and closes the connection at once.
    if (socket.state() != QLocalSocket::UnconnectedState && !socket.waitForDisconnected(1000)) {
        if (error) {
            *error = QStringLiteral("the agent kept the connection open");
        }
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(socket.readAll(), &parseError);
    if (error) {
        *error = document.isObject() ? QString() : QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
    }
    return document.object();
}

bool AgentSession::signalAgent(int signalNumber) const
{
    const qint64 target = readFile(QStringLiteral("server_pid")).toLongLong();
    return target > 0 && ::kill(pid_t(target), signalNumber) == 0;
}

bool AgentSession::isAlive(qint64 pid)
{
    // A zombie has ended; its parent (here: init) has just not reaped it yet.
    const QString stat = readProcFile(pid, "stat");
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.size() > end + 2 && stat.at(end + 2) != 'Z' && stat.at(end + 2) != 'X';
}

bool AgentSession::waitForLauncherEnd(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (isAlive(pid)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

int AgentSession::runXClient(const QString &program, const QStringList &arguments, const QString &displayName,
                             const QString &authorityFile, QString *output) const
{
    QProcessEnvironment variables = environment.processEnvironment();
    variables.insert(QStringLiteral("DISPLAY"), displayName);
    variables.insert(QStringLiteral("XAUTHORITY"), authorityFile);
    QProcess process;
    process.setProcessEnvironment(variables);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output) {
        *output = QString::fromLocal8Bit(process.readAll());
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int AgentSession::runStartApp(const QStringList &arguments, int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment.processEnvironment());
    process.setWorkingDirectory(sessionDir);
    process.start(TestEnvironment::binary(QStringLiteral("start-app")), arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

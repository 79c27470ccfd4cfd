#include "client/viewing/viewer_process.h"

#include "client/command_line/console.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>

namespace {

const QString defaultViewer = QStringLiteral("vncviewer");
const QString viewerPackage = QStringLiteral("tigervnc-viewer");
// Enough of the viewer's last messages to explain a failure.
constexpr int outputLimit = 16 * 1024;

// What TigerVNC's viewer writes: a line once the session is shown (past authentication), and one
// when a signal asked it to end. It exits with 0 after most failures, so these tell them apart.
const QLatin1String shownMark("Using pixel format");
const QLatin1String endRequestedMark("Termination signal");
// ... and what it says when the session refused it or closed the connection before showing itself.
const QLatin1String refusedMark("Authentication failure");
const QLatin1String droppedMark("dropped by the server before the session could");

bool isRequestToEnd(int signal)
{
    return signal == SIGTERM || signal == SIGINT || signal == SIGHUP || signal == SIGKILL;
}

// The last message of a log whose messages look like TigerVNC's (" Tag:   text", continued on lines
// that begin with white space), joined into one line, without its tag when `untag`; else the last
// line.
QString lastMessage(const QString &text, bool untag)
{
    static const QRegularExpression tagged(QStringLiteral("^\\s?[A-Za-z][A-Za-z0-9_]*:\\s+"));
    static const QRegularExpression timestamp(QStringLiteral("^\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}$"));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList message;
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString &line = lines.at(i);
        if (line.trimmed().isEmpty() || timestamp.match(line.trimmed()).hasMatch()) {
            if (message.isEmpty()) {
                continue;
            }
            break;
        }
        message.prepend(line.trimmed());
        if (!line.at(0).isSpace() || tagged.match(line).hasMatch()) {
            break;
        }
    }
    QString joined = message.join(QLatin1Char(' '));
    const QRegularExpressionMatch tag = tagged.match(joined);
    if (untag && tag.hasMatch() && tag.capturedEnd() < joined.size()) {
        joined.remove(0, tag.capturedEnd());
    }
    return joined;
}

} // namespace

ViewerProcess::ViewerProcess(const QStringList &viewerCommand, QObject *parent)
    : SessionPresenter(parent)
    , command(viewerCommand.isEmpty() ? QStringList{defaultViewer} : viewerCommand)
    , isDefault(viewerCommand.isEmpty())
    , process(new QProcess(this))
{
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardOutput, this, &ViewerProcess::keepOutput);
    connect(process, &QProcess::finished, this, [this] {
        keepOutput();
        markEnded();
    });
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            startFailed = true;
            markEnded();
        }
    });
}

ViewerProcess::~ViewerProcess()
{
    stop();
}

bool ViewerProcess::check(ClientError &error) const
{
    if (!programPath().isEmpty()) {
        return true;
    }
    if (isDefault) {
        error = ClientError(ClientError::Usage,
                            QStringLiteral("The VNC viewer \"%1\" is not installed: install the package %2 (or name "
                                           "another viewer with --viewer, or print the password with --no-viewer).")
                                .arg(defaultViewer, viewerPackage));
    } else {
        error = ClientError(ClientError::Usage,
                            QStringLiteral("The viewer \"%1\" given with --viewer was not found: check its name, or "
                                           "install TigerVNC's viewer, the package %2.")
                                .arg(command.first(), viewerPackage));
    }
    return false;
}

void ViewerProcess::start(const SessionView &view)
{
    Console::progress(QStringLiteral("Opening the viewer on session %1 on %2...").arg(view.shortId, view.host));
    QStringList arguments = command.mid(1);
    if (isDefault) {
        // A one-time password cannot serve a second time: no reconnecting after a disconnection.
        // The viewer closes at once and lumen says in words why (no dialog that waits for a click).
        arguments << QStringLiteral("-ReconnectOnError=0") << QStringLiteral("-AlertOnFatalError=0");
    }
    arguments << QStringLiteral("127.0.0.1::%1").arg(view.localPort);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VNC_PASSWORD"), view.ticket.password());
    process->setProcessEnvironment(environment);
    // Once its window is up, Ctrl+C closes it and leaves the session running.
    markShown();
    process->start(programPath(), arguments);
}

void ViewerProcess::stop()
{
    if (process->state() == QProcess::NotRunning) {
        return;
    }
    process->terminate();
    if (!process->waitForFinished(3000)) {
        process->kill();
        process->waitForFinished(2000);
    }
}

ClientError ViewerProcess::failure(const SessionView &view, const TunnelEnd &tunnel) const
{
    switch (ending()) {
    case Ending::NotStarted:
        return ClientError(ClientError::Usage,
                           QStringLiteral("The viewer \"%1\" could not be started: %2").arg(program(), reason()));
    case Ending::Crashed:
        return ClientError(ClientError::ViewerFailed,
                           QStringLiteral("The viewer \"%1\" crashed (%2). Session %3 goes on. %4")
                               .arg(program(), reason(), view.shortId, view.again));
    case Ending::Failed:
        if (!tunnel.farErrors.isEmpty()) {
            return ClientError(ClientError::Unreachable,
                               QStringLiteral("The viewer could not reach session %1 on %2: %3")
                                   .arg(view.shortId, view.host, tunnel.farErrors.simplified()));
        }
        if (wasTurnedAway() || tunnel.closedByHost) {
            return ClientError(ClientError::Refused,
                               QStringLiteral("Session %1 on %2 turned the viewer away: %3. Another viewer may have "
                                              "used its password first. %4")
                                   .arg(view.shortId, view.host, reason(), view.again));
        }
        return ClientError(ClientError::ViewerFailed,
                           QStringLiteral("The viewer \"%1\" failed: %2. Session %3 goes on. %4")
                               .arg(program(), reason(), view.shortId, view.again));
    case Ending::Closed:
        break;
    }
    return ClientError();
}

ViewerProcess::Ending ViewerProcess::ending() const
{
    if (startFailed) {
        return Ending::NotStarted;
    }
    // On a crash the exit code is the number of the signal that ended the process.
    if (process->exitStatus() == QProcess::CrashExit) {
        return isRequestToEnd(process->exitCode()) ? Ending::Closed : Ending::Crashed;
    }
    const QString text = QString::fromLocal8Bit(output);
    if (isDefault && text.contains(endRequestedMark)) {
        return Ending::Closed;
    }
    if (process->exitCode() != 0) {
        return Ending::Failed;
    }
    // TigerVNC's viewer ends with 0 also when it was refused or never reached the session.
    return isDefault && !text.contains(shownMark) ? Ending::Failed : Ending::Closed;
}

QString ViewerProcess::reason() const
{
    if (startFailed) {
        return process->errorString();
    }
    QString message = lastMessage(QString::fromLocal8Bit(output), isDefault);
    if (process->exitStatus() == QProcess::CrashExit) {
        const QString signal = QStringLiteral("signal %1").arg(process->exitCode());
        return message.isEmpty() ? signal : signal + QStringLiteral("; its last message: ") + message;
    }
    if (message.isEmpty()) {
        message = QStringLiteral("no message");
    }
    return process->exitCode() != 0 ? QStringLiteral("%1 (status %2)").arg(message).arg(process->exitCode()) : message;
}

bool ViewerProcess::wasTurnedAway() const
{
    const QString text = QString::fromLocal8Bit(output);
    return isDefault && (text.contains(refusedMark) || text.contains(droppedMark));
}

QString ViewerProcess::programPath() const
{
    const QString program = command.first();
    if (program.contains(QLatin1Char('/'))) {
        const QFileInfo file(program);
        return file.isFile() && file.isExecutable() ? file.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(program);
}

void ViewerProcess::keepOutput()
{
    output += process->readAllStandardOutput();
    if (output.size() > outputLimit) {
        output.remove(0, output.size() - outputLimit);
    }
}

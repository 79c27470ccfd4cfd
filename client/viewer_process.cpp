#include "client/viewer_process.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {

const QString defaultViewer = QStringLiteral("vncviewer");
const QString viewerPackage = QStringLiteral("tigervnc-viewer");

} // namespace

ViewerProcess::ViewerProcess(const QStringList &viewerCommand, QObject *parent)
    : QObject(parent)
    , command(viewerCommand.isEmpty() ? QStringList{defaultViewer} : viewerCommand)
    , isDefault(viewerCommand.isEmpty())
    , process(new QProcess(this))
{
    // The viewer's own messages reach the user as they are.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this, [this](int exitCode) { emit finished(exitCode); });
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            emit finished(-1);
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

void ViewerProcess::start(quint16 port, const QString &password)
{
    QStringList arguments = command.mid(1);
    if (isDefault) {
        // A one-time password cannot serve a second time: no reconnecting after a disconnection.
        // The viewer closes at once and lumen says in words why (no dialog that waits for a click).
        arguments << QStringLiteral("-ReconnectOnError=0") << QStringLiteral("-AlertOnFatalError=0");
    }
    arguments << QStringLiteral("127.0.0.1::%1").arg(port);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VNC_PASSWORD"), password);
    process->setProcessEnvironment(environment);
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

bool ViewerProcess::isRunning() const
{
    return process->state() != QProcess::NotRunning;
}

qint64 ViewerProcess::processId() const
{
    return process->processId();
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

#include "client/host/remote_command.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {

// A squeue of a busy cluster fits; anything more is not what lumen asked for.
constexpr int outputLimit = 1 << 20;
constexpr int errorLimit = 8192;

} // namespace

RemoteCommand::RemoteCommand(const ProgramCall &call, QObject *parent)
    : QObject(parent)
    , call(call)
{
}

RemoteCommand::~RemoteCommand()
{
    if (process != nullptr && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
}

RemoteCommand::Outcome RemoteCommand::run(const QByteArray &input, int timeoutMs)
{
    if (stopped) {
        return Stopped;
    }
    delete process;
    process = new QProcess(this);
    out.clear();
    errors.clear();
    status = -1;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(process, &QProcess::readyReadStandardOutput, this, &RemoteCommand::collect);
    connect(process, &QProcess::readyReadStandardError, this, &RemoteCommand::collect);
    connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
    bool startFailed = false;
    connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            startFailed = true;
            loop.quit();
        }
    });
    process->start(call.program, call.arguments);
    process->write(input);
    process->closeWriteChannel();
    timer.start(timeoutMs);
    waiting = &loop;
    if (!startFailed) {
        loop.exec();
    }
    waiting = nullptr;
    if (startFailed) {
        return FailedToStart;
    }
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
        return stopped ? Stopped : TimedOut;
    }
    collect();
    status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    return stopped ? Stopped : Finished;
}

QString RemoteCommand::lastErrorLine() const
{
    const QList<QByteArray> lines = errors.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last().trimmed());
}

QString RemoteCommand::errorLines() const
{
    constexpr int lines = 3;
    QStringList kept;
    for (const QByteArray &line : errors.trimmed().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            kept << QString::fromLocal8Bit(line.trimmed());
        }
    }
    return kept.mid(qMax(0, int(kept.size()) - lines)).join(QStringLiteral("; "));
}

void RemoteCommand::stop()
{
    stopped = true;
    if (waiting != nullptr) {
        waiting->quit();
    }
}

void RemoteCommand::collect()
{
    out += process->readAllStandardOutput();
    out.truncate(outputLimit);
    errors += process->readAllStandardError();
    if (errors.size() > errorLimit) {
        errors = errors.right(errorLimit);
    }
}

#include "client/host/relay_channel.h"

#include "client/host/child_signals.h"
#include "common/netstring.h"

namespace {

// Enough of ssh's and the relay's last messages to explain a failure.
constexpr int errorOutputLimit = 16 * 1024;

} // namespace

RelayChannel::RelayChannel(QObject *parent)
    : QObject(parent)
    , process(new QProcess(this))
{
    ignoreInterruptsInChild(*process);
    connect(process, &QProcess::readyReadStandardOutput, this, &RelayChannel::Process_readyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &RelayChannel::Process_readyReadStandardError);
    connect(process, &QProcess::finished, this, &RelayChannel::Process_finished);
    connect(process, &QProcess::errorOccurred, this, &RelayChannel::Process_errorOccurred);
}

RelayChannel::~RelayChannel()
{
    disconnect(process, nullptr, this, nullptr);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(2000);
    }
}

void RelayChannel::start(const ProgramCall &call)
{
    // Password and host key questions of ssh go to the terminal, not through these pipes.
    process->start(call.program, call.arguments);
}

void RelayChannel::sendFrame(const QByteArray &payload)
{
    if (process->state() != QProcess::NotRunning) {
        process->write(encodeNetString(payload));
    }
}

void RelayChannel::close()
{
    if (process->state() == QProcess::NotRunning) {
        return;
    }
    process->closeWriteChannel();
    if (!process->waitForFinished(5000)) {
        process->terminate();
        if (!process->waitForFinished(2000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
}

void RelayChannel::abort()
{
    if (process->state() == QProcess::NotRunning) {
        return;
    }
    process->terminate();
    if (!process->waitForFinished(2000)) {
        process->kill();
        process->waitForFinished(2000);
    }
}

bool RelayChannel::isOpen() const
{
    return !hasEnded && process->state() != QProcess::NotRunning;
}

int RelayChannel::exitCode() const
{
    return process->exitCode();
}

bool RelayChannel::crashed() const
{
    return process->exitStatus() == QProcess::CrashExit;
}

QString RelayChannel::errorOutput() const
{
    return QString::fromLocal8Bit(errors).trimmed();
}

void RelayChannel::Process_readyReadStandardOutput()
{
    const QByteArray received = process->readAllStandardOutput();
    answeredOnce = answeredOnce || !received.isEmpty();
    input += received;
    while (!hasEnded) {
        QByteArray payload;
        const int outcome = decodeNetString(input, payload, framing, netStringAnswerLimit);
        if (outcome == 1) {
            return;
        }
        if (outcome < 0) {
            // Whatever follows cannot be trusted to be in step: the channel is of no further use.
            input.clear();
            process->kill();
            end();
            return;
        }
        emit frameReceived(payload);
    }
}

void RelayChannel::Process_readyReadStandardError()
{
    errors += process->readAllStandardError();
    if (errors.size() > errorOutputLimit) {
        errors.remove(0, errors.size() - errorOutputLimit);
    }
}

void RelayChannel::Process_finished()
{
    Process_readyReadStandardError();
    Process_readyReadStandardOutput();
    end();
}

void RelayChannel::Process_errorOccurred(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart) {
        startFailed = true;
        end();
    }
}

void RelayChannel::end()
{
    if (!hasEnded) {
        hasEnded = true;
        emit ended();
    }
}

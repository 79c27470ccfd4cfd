#include "tests/support/relay_process.h"

#include "tests/support/frame_codec.h"

#include <QDeadlineTimer>

RelayProcess::RelayProcess() = default;

RelayProcess::~RelayProcess()
{
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished(5000);
    }
}

QProcess &RelayProcess::process()
{
    return child;
}

bool RelayProcess::start(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment)
{
    child.setProcessEnvironment(environment);
    child.start(program, arguments);
    return child.waitForStarted(10000);
}

void RelayProcess::send(const QByteArray &bytes)
{
    child.write(bytes);
}

void RelayProcess::sendFrame(const QByteArray &payload)
{
    send(FrameCodec::encode(payload));
}

bool RelayProcess::readFrame(QByteArray &payload, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        output += child.readAllStandardOutput();
        const FrameCodec::Frame found = FrameCodec::take(output, payload);
        if (found != FrameCodec::Frame::Incomplete) {
            return found == FrameCodec::Frame::Complete;
        }
        if (deadline.hasExpired() || child.state() == QProcess::NotRunning) {
            return false;
        }
        child.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

void RelayProcess::closeInput()
{
    child.waitForBytesWritten(10000);
    child.closeWriteChannel();
}

bool RelayProcess::waitForExit(int &status, int timeoutMs)
{
    if (!child.waitForFinished(timeoutMs) || child.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    status = child.exitCode();
    return true;
}

QByteArray RelayProcess::standardError()
{
    errors += child.readAllStandardError();
    return errors;
}

QStringList RelayProcess::errorLines()
{
    return QString::fromLocal8Bit(standardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray RelayProcess::request(const QByteArray &id)
{
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","method":"system.describe"})" + '\n';
}

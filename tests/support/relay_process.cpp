#include "tests/support/relay_process.h"

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
    send(frame(payload));
}

bool RelayProcess::readFrame(QByteArray &payload, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        output += child.readAllStandardOutput();
        const Frame found = takeFrame(output, payload);
        if (found != Frame::Incomplete) {
            return found == Frame::Complete;
        }
        if (deadline.hasExpired() || child.state() == QProcess::NotRunning) {
            return false;
        }
        child.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

RelayProcess::Frame RelayProcess::takeFrame(QByteArray &buffer, QByteArray &payload)
{
    const int colon = buffer.indexOf(':');
    if (colon < 0) {
        return Frame::Incomplete;
    }
    bool isNumber = false;
    const int length = buffer.left(colon).toInt(&isNumber);
    if (!isNumber || length < 0) {
        return Frame::Invalid;
    }
    if (buffer.size() < colon + length + 2) {
        return Frame::Incomplete;
    }
    if (buffer.at(colon + 1 + length) != ',') {
        return Frame::Invalid;
    }
    payload = buffer.mid(colon + 1, length);
    buffer.remove(0, colon + length + 2);
    return Frame::Complete;
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

QByteArray RelayProcess::frame(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

QByteArray RelayProcess::request(const QByteArray &id)
{
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","method":"system.describe"})" + '\n';
}

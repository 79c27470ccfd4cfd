#include "server/process/program_runner.h"

#include <QProcess>

namespace {
QString failure(const QString &program, const QString &reason)
{
    return QStringLiteral("Failed to run the program \"%1\": %2").arg(program, reason);
}
}

bool runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                int timeoutMs, QString &error, const QByteArray &input)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments, QIODevice::ReadWrite);
    if (!input.isNull()) {
        // Written while it waits, then closed after the last byte. A program that does not start
        // gets nothing; the wait below says why.
        if (process.waitForStarted(timeoutMs)) {
            process.write(input);
        }
        process.closeWriteChannel();
    }
    if (!process.waitForFinished(timeoutMs)) {
        error = failure(program, process.errorString());
        process.kill();
        process.waitForFinished(-1); // never leave it running behind the caller's back
        return false;
    }
    if (process.exitStatus() == QProcess::CrashExit) {
        error = failure(program, QStringLiteral("The process crashed"));
        return false;
    }
    if (process.exitCode() == 0) {
        return true;
    }
    QByteArray firstLine = process.readAllStandardError();
    const qsizetype end = firstLine.indexOf('\n');
    if (end >= 0) {
        firstLine.truncate(end);
    }
    error = failure(program, QString::fromLocal8Bit(firstLine));
    return false;
}

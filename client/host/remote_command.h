#pragma once

#include "client/host/program_call.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QEventLoop;
class QProcess;

// One command run to its end on a host (through HostCommands::shell), waited for in an event
// loop so that signals and notifications go on meanwhile. Output is kept up to a bound.
class RemoteCommand : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Finished, TimedOut, Stopped, FailedToStart };

    explicit RemoteCommand(const ProgramCall &call, QObject *parent = nullptr);
    ~RemoteCommand() override;

    // Runs the command with `input` on its standard input; returns how it ended.
    Outcome run(const QByteArray &input, int timeoutMs);
    // The exit status when it finished (ssh's 255 when the host could not be reached).
    int exitCode() const { return status; }
    QByteArray output() const { return out; }
    // The last line of its error output, for a message.
    QString lastErrorLine() const;
    // Its last few lines of error output, joined into one line.
    QString errorLines() const;

public slots:
    // Ends the command at once; run() returns Stopped.
    void stop();

private:
    void collect();

    ProgramCall call;
    QProcess *process = nullptr;
    QEventLoop *waiting = nullptr;
    QByteArray out;
    QByteArray errors;
    int status = -1;
    bool stopped = false;
};

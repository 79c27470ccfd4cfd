#pragma once

#include "client/host/program_call.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

// The relay process (lumen_sci, locally or through ssh) as a channel of NetString frames: frames
// written to its standard input, frames cut from its standard output. Its standard error, where
// ssh and the relay report, is kept (the last part of it) to explain a failure.
class RelayChannel : public QObject
{
    Q_OBJECT

public:
    explicit RelayChannel(QObject *parent = nullptr);
    ~RelayChannel() override;

    void start(const ProgramCall &call);
    void sendFrame(const QByteArray &payload);
    // Closes the relay's input, which ends it, and waits a little for it to go.
    void close();
    // Ends the relay at once (after an interruption: ssh may still be asking for a password).
    void abort();

    bool isOpen() const;
    // Whether anything at all came back yet: until then ssh may still be connecting.
    bool hasAnswered() const { return answeredOnce; }
    // Why the channel ended or could not start: the program's state and its last messages.
    bool failedToStart() const { return startFailed; }
    int exitCode() const;
    bool crashed() const;
    QString errorOutput() const;
    QString framingError() const { return framing; }

signals:
    void frameReceived(const QByteArray &payload);
    void ended();

private slots:
    void Process_readyReadStandardOutput();
    void Process_readyReadStandardError();
    void Process_finished();
    void Process_errorOccurred(QProcess::ProcessError error);

private:
    void end();

    QProcess *process;
    QByteArray input;
    QByteArray errors;
    QString framing;
    bool startFailed = false;
    bool answeredOnce = false;
    bool hasEnded = false;
};

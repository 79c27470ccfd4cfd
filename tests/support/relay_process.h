#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// A program that speaks NetString frames on its standard input and output: lumen_sci itself, or ssh
// running it on the far side. Every wait blocks the calling thread.
class RelayProcess
{
public:
    RelayProcess();
    ~RelayProcess();

    QProcess &process();
    bool start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment);

    void send(const QByteArray &bytes);
    void sendFrame(const QByteArray &payload);
    // The payload of the next whole frame on standard output; false on timeout, end of output or
    // bytes that do not form a frame.
    bool readFrame(QByteArray &payload, int timeoutMs = 10000);
    void closeInput();
    // True when the program ended by itself within the time, with `status` its exit status.
    bool waitForExit(int &status, int timeoutMs = 10000);

    QByteArray standardError();
    QStringList errorLines();

    // A "system.describe" request with this id, written as JSON text.
    static QByteArray request(const QByteArray &id);

private:
    QProcess child;
    QByteArray output;
    QByteArray errors;
};

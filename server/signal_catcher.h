#pragma once

#include <QObject>

class QSocketNotifier;

// The descriptor the signal handler writes to; set before the handler is installed.
extern int signalWriteFd;

// Installed with sigaction: writes the signal number into the socket pair and does nothing else.
void catchSignal(int signal);

// Turns Unix signals, passed through a socket pair by catchSignal(), into Qt signals on the main
// thread, so that nothing but a write happens inside the signal handler.
class SignalCatcher : public QObject
{
    Q_OBJECT

public:
    SignalCatcher(int readFd, QObject *parent = nullptr);

    static QString signalName(int signal);

signals:
    void gotHUP();
    void gotTERM();
    void gotINT();
    void gotUSR1();
    void gotUSR2();
    void gotSig(int signal);

private slots:
    void activated();

private:
    int readFd;
    QSocketNotifier *notifier;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QSocketNotifier;

// The descriptor the signal handler writes to; set before the handler is installed.
extern int signalWriteFd;

// Installed with sigaction: writes the signal number into the socket pair and does nothing else.
void catchSignal(int signal);

// Installs catchSignal() for each of the signals. While one of them is being handled the others
// are blocked, so that a handler is never interrupted by another and the records reach the socket
// pair in the order the signals were taken.
void installSignalHandlers(const QList<int> &caught);

// Turns Unix signals, passed through a socket pair by catchSignal(), into Qt signals on the main
// thread, so that nothing but a write happens inside the signal handler.
//
// Every record waiting in the socket is handled at each activation. A signal that ends the server
// (TERM, INT) is handled after the others that arrived with it: a HUP caught just before it, even on
// another thread, is still logged and acted upon. Lives on the main thread; does not own the
// descriptor.
class SignalCatcher : public QObject
{
    Q_OBJECT

public:
    SignalCatcher(int readFd, QObject *parent = nullptr);

    static QString signalName(int signal);

    // Handles the records that are waiting now, without blocking; the program calls it once more
    // after its event loop has ended, so that a signal caught just before the end is not lost.
    void drain();

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
    QList<int> receiveRecords();
    void handle(int signal);

    int readFd;
    QSocketNotifier *notifier;
    QByteArray partial; // the start of a record whose other bytes have not arrived yet
};

#include "server/signal_catcher.h"

#include "common/logging.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdint>
#include <unistd.h>

int signalWriteFd = -1;

void catchSignal(int signal)
{
    const int32_t record = signal;
    const ssize_t written = ::write(signalWriteFd, &record, sizeof record);
    (void)written; // a lost signal cannot be reported from here
}

SignalCatcher::SignalCatcher(int readFd, QObject *parent)
    : QObject(parent)
    , readFd(readFd)
    , notifier(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
{
    connect(notifier, &QSocketNotifier::activated, this, &SignalCatcher::activated);
}

QString SignalCatcher::signalName(int signal)
{
    switch (signal) {
    case SIGHUP: return QStringLiteral("HUP");
    case SIGINT: return QStringLiteral("INT");
    case SIGUSR1: return QStringLiteral("USR1");
    case SIGUSR2: return QStringLiteral("USR2");
    case SIGTERM: return QStringLiteral("TERM");
    default: return QString::number(signal);
    }
}

void SignalCatcher::activated()
{
    notifier->setEnabled(false);
    int32_t signal = 0;
    const ssize_t received = ::read(readFd, &signal, sizeof signal);
    notifier->setEnabled(true);
    if (received != static_cast<ssize_t>(sizeof signal)) {
        return; // only whole records are ever written; anything else is not a signal
    }

    logMessage(Logging::Debug1, QStringLiteral("Got signal '%1'").arg(signalName(signal)));
    switch (signal) {
    case SIGHUP: emit gotHUP(); break;
    case SIGTERM: emit gotTERM(); break;
    case SIGINT: emit gotINT(); break;
    case SIGUSR1: emit gotUSR1(); break;
    case SIGUSR2: emit gotUSR2(); break;
    default: break;
    }
    emit gotSig(signal);
}

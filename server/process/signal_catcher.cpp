#include "server/process/signal_catcher.h"

#include "common/logging.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

int signalWriteFd = -1;

void catchSignal(int signal)
{
    // The interrupted code may be about to look at errno.
    const int savedErrno = errno;
    const int32_t record = signal;
    const ssize_t written = ::write(signalWriteFd, &record, sizeof record);
    (void)written; // a lost signal cannot be reported from here
    errno = savedErrno;
}

void installSignalHandlers(const QList<int> &caught)
{
    struct sigaction action = {};
    action.sa_handler = catchSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : caught) {
        sigaddset(&action.sa_mask, signal);
    }
    action.sa_flags = 0;
    for (int signal : caught) {
        ::sigaction(signal, &action, nullptr);
    }
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
    drain();
    notifier->setEnabled(true);
}

void SignalCatcher::drain()
{
    QList<int> received = receiveRecords();
    std::stable_partition(received.begin(), received.end(),
                          [](int signal) { return signal != SIGTERM && signal != SIGINT; });
    for (int signal : std::as_const(received)) {
        handle(signal);
    }
}

QList<int> SignalCatcher::receiveRecords()
{
    char buffer[256];
    for (;;) {
        const ssize_t received = ::recv(readFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        partial.append(buffer, qsizetype(received));
    }
    QList<int> records;
    constexpr qsizetype recordSize = sizeof(int32_t);
    qsizetype used = 0;
    for (; partial.size() - used >= recordSize; used += recordSize) {
        int32_t signal = 0;
        std::memcpy(&signal, partial.constData() + used, recordSize);
        records << signal;
    }
    partial.remove(0, used);
    return records;
}

void SignalCatcher::handle(int signal)
{
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

#include "client/command_line/interrupt_watcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace {

int writeFd = -1;
const int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP};

void writeSignal(int signal)
{
    const int32_t record = signal;
    const ssize_t written = ::write(writeFd, &record, sizeof record);
    (void)written; // nothing can be done about a full pipe inside a handler
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (writeFd >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readFd = fds[0];
    writeFd = fds[1];
    notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InterruptWatcher::Notifier_activated);
    struct sigaction action = {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : watchedSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

InterruptWatcher::~InterruptWatcher()
{
    if (notifier == nullptr) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : watchedSignals) {
        ::sigaction(signal, &action, nullptr);
    }
    ::close(writeFd);
    ::close(readFd);
    writeFd = -1;
}

void InterruptWatcher::Notifier_activated()
{
    int32_t signal = 0;
    while (::read(readFd, &signal, sizeof signal) == ssize_t(sizeof signal)) {
        emit interrupted(signal);
    }
}

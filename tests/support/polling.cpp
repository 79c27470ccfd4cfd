#include "tests/support/polling.h"

#include <QDeadlineTimer>
#include <QThread>

bool Polling::waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(intervalMs));
    }
    return true;
}

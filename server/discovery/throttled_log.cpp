#include "server/discovery/throttled_log.h"

#include "common/logging.h"

#include <QElapsedTimer>

ThrottledLog::ThrottledLog(std::function<qint64()> nowMs)
    : nowMs(std::move(nowMs))
{
    if (!this->nowMs) {
        QElapsedTimer clock;
        clock.start();
        this->nowMs = [clock] { return clock.elapsed(); };
    }
}

bool ThrottledLog::makeRoom(qint64 now)
{
    if (entries.size() < keyLimit) {
        return true;
    }
    for (auto entry = entries.begin(); entry != entries.end();) {
        // An entry with repeats still to tell keeps them until its key is logged again; past its
        // minute, they are given up to make room.
        entry = now - entry->loggedAtMs >= intervalMs ? entries.erase(entry) : std::next(entry);
    }
    return entries.size() < keyLimit;
}

void ThrottledLog::warn(const QString &key, const QString &message)
{
    QString line;
    {
        QMutexLocker locker(&lock);
        const qint64 now = nowMs();
        auto entry = entries.find(key);
        if (entry != entries.end() && now - entry->loggedAtMs < intervalMs) {
            ++entry->untold;
            return;
        }
        if (entry == entries.end()) {
            if (!makeRoom(now)) {
                ++untoldOthers;
                return;
            }
            entry = entries.insert(key, Entry());
        }
        line = message;
        if (entry->untold > 0) {
            line += QStringLiteral(" (%1 more times since the last report)").arg(entry->untold);
        }
        if (untoldOthers > 0) {
            line += QStringLiteral(" (and %1 warnings about others left out)").arg(untoldOthers);
            untoldOthers = 0;
        }
        entry->loggedAtMs = now;
        entry->untold = 0;
    }
    logMessage(Logging::Warning, line);
}

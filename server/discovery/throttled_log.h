#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

// Keeps what strangers on the network can make the server log within bounds: a Warning is written
// at most once a minute for each key (a peer, a sender address), and the repeats in between are
// only counted and reported with the next line that is written for that key. At most `keyLimit`
// keys are remembered; once that many have been logged within the minute, the warnings of further
// keys are counted as well and reported with the next line written.
//
// Safe for use from any thread.
class ThrottledLog
{
public:
    static constexpr qint64 intervalMs = 60000;
    static constexpr int keyLimit = 256;

    // `nowMs` is a monotonic clock in milliseconds; tests move it by hand.
    explicit ThrottledLog(std::function<qint64()> nowMs = {});

    void warn(const QString &key, const QString &message);

private:
    struct Entry
    {
        qint64 loggedAtMs = 0;
        int untold = 0;
    };

    // With the lock held: makes room for one more key by forgetting those whose minute has passed.
    bool makeRoom(qint64 now);

    std::function<qint64()> nowMs;
    QMutex lock;
    QHash<QString, Entry> entries;
    int untoldOthers = 0;
};

#include "tests/support/log_capture.h"

#include <QMutexLocker>
#include <QTest>

namespace {
constexpr int AnyLevel = -2;
}

LogCapture::LogCapture()
{
    setLevel(Debug3);
    Logging::setInstance(this);
}

LogCapture::~LogCapture()
{
    Logging::setInstance(nullptr);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    QStringList result;
    for (const Entry &entry : entries) {
        result << levelName(entry.level) + QStringLiteral(": ") + entry.message;
    }
    return result;
}

QStringList LogCapture::messages() const
{
    return messages(AnyLevel);
}

QStringList LogCapture::messages(int level) const
{
    QMutexLocker locker(&mutex);
    QStringList result;
    for (const Entry &entry : entries) {
        if (level == AnyLevel || entry.level == level) {
            result << entry.message;
        }
    }
    return result;
}

QStringList LogCapture::warnings() const
{
    return messages(Warning);
}

int LogCapture::count(const QString &text) const
{
    return int(lines().filter(text).size());
}

bool LogCapture::waitFor(const QString &text, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(text) > 0; }, timeoutMs);
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    entries.clear();
}

void LogCapture::write(int level, const QString &message)
{
    entries.append({level, message});
}

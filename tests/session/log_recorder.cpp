#include "log_recorder.h"

LogRecorder::LogRecorder()
{
    setLevel(Debug3);
    Logging::setInstance(this);
}

LogRecorder::~LogRecorder()
{
    Logging::setInstance(nullptr);
}

QStringList LogRecorder::warnings() const
{
    QMutexLocker locker(&mutex);
    QStringList messages;
    for (const auto &entry : entries) {
        if (entry.first == Warning) {
            messages << entry.second;
        }
    }
    return messages;
}

void LogRecorder::clear()
{
    QMutexLocker locker(&mutex);
    entries.clear();
}

void LogRecorder::write(int level, const QString &message)
{
    entries.append({level, message});
}

#include "tests/discovery/captured_log.h"

#include <QMutexLocker>

CapturedLog::CapturedLog()
{
    setLevel(Debug3);
    Logging::setInstance(this);
}

CapturedLog::~CapturedLog()
{
    Logging::setInstance(nullptr);
}

QStringList CapturedLog::lines() const
{
    QMutexLocker locker(&mutex);
    return captured;
}

bool CapturedLog::contains(const QString &line) const
{
    return lines().contains(line);
}

void CapturedLog::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
}

void CapturedLog::write(int level, const QString &message)
{
    captured << levelName(level) + QStringLiteral(": ") + message;
}

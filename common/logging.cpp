#include "common/logging.h"

#include <QDateTime>
#include <QLocale>

#include <atomic>

namespace {
std::atomic<Logging *> processLogger{nullptr};

const char *const levelNames[] = {"Critical", "Warning", "Info", "Debug1", "Debug2", "Debug3"};
constexpr int levelCount = sizeof(levelNames) / sizeof(levelNames[0]);
}

Logging::Logging() = default;
Logging::~Logging() = default;

void Logging::log(int level, const QString &message)
{
    QMutexLocker locker(&mutex);
    if (level <= threshold) {
        write(level, message);
    }
}

void Logging::setLevel(int level)
{
    QMutexLocker locker(&mutex);
    threshold = level;
}

int Logging::level() const
{
    QMutexLocker locker(&mutex);
    return threshold;
}

QString Logging::levelName(int level)
{
    if (level < 0 || level >= levelCount) {
        return QString();
    }
    return QString::fromLatin1(levelNames[level]);
}

int Logging::levelFromName(const QString &name)
{
    for (int level = 0; level < levelCount; ++level) {
        if (name == QLatin1String(levelNames[level])) {
            return level;
        }
    }
    return Info;
}

QString Logging::currentDate()
{
    // Day names in English whatever the locale, so that log lines read the same everywhere.
    return QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("ddd d hh:mm:ss"));
}

QString Logging::formatLine(int level, const QString &message)
{
    return QStringLiteral("%1: %2: %3").arg(currentDate(), levelName(level), message);
}

Logging *Logging::instance()
{
    return processLogger.load();
}

void Logging::setInstance(Logging *logger)
{
    processLogger.store(logger);
}

void logMessage(int level, const QString &message)
{
    if (Logging *logger = Logging::instance()) {
        logger->log(level, message);
    }
}

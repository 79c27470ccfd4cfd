#include "common/stderr_logging.h"

#include <QTextStream>

#include <cstdio>

StderrLogging::StderrLogging(QObject *parent)
    : QObject(parent)
{
}

QString StderrLogging::formatRelayLine(int level, const QString &message)
{
    return QStringLiteral("%1 %2: %3").arg(currentDate(), levelName(level), message);
}

void StderrLogging::write(int level, const QString &message)
{
    QTextStream stream(stderr);
    stream << formatRelayLine(level, message) << Qt::endl;
}

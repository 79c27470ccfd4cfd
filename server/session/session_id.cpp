#include "server/session/session_id.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

bool isValidSessionId(const QString &id)
{
    // Anchored at the very end: "$" alone would also accept a trailing line feed.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("[a-fA-F0-9]{32}")));
    return pattern.match(id).hasMatch();
}

QString sessionDirectory(const QString &sessionsDirectory, const QString &id)
{
    return QDir(sessionsDirectory).filePath(QStringLiteral("C-%1").arg(id));
}

QString sessionIdFromDirectory(const QString &path)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("C-([a-fA-F0-9]{32})")));
    const QRegularExpressionMatch match = pattern.match(QFileInfo(path).baseName());
    return match.hasMatch() ? match.captured(1) : QString();
}

#include "server/session/agent_info.h"

#include <QLocale>
#include <QRegularExpression>

QDateTime AgentInfo::parseDateTime(const QString &text)
{
    // The shape is checked first so that only the exact two-digit form is taken.
    static const QRegularExpression shape(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}")));
    if (!shape.match(text).hasMatch()) {
        return QDateTime();
    }
    return QLocale::c().toDateTime(text, QStringLiteral("yyyy-MM-ddThh:mm:ss"));
}

#include "common/path_template.h"

#include <QDir>
#include <QHostInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStringList>

QString expandPathTemplate(const QString &text)
{
    QMap<QString, QString> values;
    values.insert(QStringLiteral("@HOME@"), QDir::homePath());
    values.insert(QStringLiteral("@TEMP@"), QDir::tempPath());
    values.insert(QStringLiteral("@USER@"), QString::fromLocal8Bit(qgetenv("USER")));
    values.insert(QStringLiteral("@HOST@"), QHostInfo::localHostName());

    const QRegularExpression pattern(QStringLiteral("(") + QStringList(values.keys()).join('|') + QStringLiteral(")"));
    QString result;
    qsizetype position = 0;
    QRegularExpressionMatchIterator matches = pattern.globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        result += text.mid(position, match.capturedStart() - position);
        result += values.value(match.captured(1));
        position = match.capturedEnd();
    }
    result += text.mid(position);
    return result;
}

#include "client/command_line/shell_words.h"

#include <QRegularExpression>

QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(word).hasMatch()) {
        return word;
    }
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString shellCommand(const QStringList &words)
{
    QStringList quoted;
    for (const QString &word : words) {
        quoted << shellWord(word);
    }
    return quoted.join(QLatin1Char(' '));
}

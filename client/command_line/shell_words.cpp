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

bool splitShellWords(const QString &text, QStringList &words, QString &error)
{
    QStringList found;
    QString word;
    bool inWord = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inWord) {
                found << word;
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == QLatin1Char('\\')) {
            if (++i >= text.size()) {
                error = QStringLiteral("a backslash ends \"%1\" without a character after it").arg(text);
                return false;
            }
            // A backslash before a line end joins the lines.
            if (text.at(i) != QLatin1Char('\n')) {
                word += text.at(i);
            }
        } else if (c == QLatin1Char('\'')) {
            const int end = text.indexOf(QLatin1Char('\''), i + 1);
            if (end < 0) {
                error = QStringLiteral("a single quote in \"%1\" is not closed").arg(text);
                return false;
            }
            word += text.mid(i + 1, end - i - 1);
            i = end;
        } else if (c == QLatin1Char('"')) {
            int j = i + 1;
            for (; j < text.size() && text.at(j) != QLatin1Char('"'); ++j) {
                if (text.at(j) == QLatin1Char('\\') && j + 1 < text.size()
                    && QStringLiteral("$`\"\\\n").contains(text.at(j + 1))) {
                    ++j;
                    if (text.at(j) == QLatin1Char('\n')) {
                        continue;
                    }
                }
                word += text.at(j);
            }
            if (j >= text.size()) {
                error = QStringLiteral("a double quote in \"%1\" is not closed").arg(text);
                return false;
            }
            i = j;
        } else {
            word += c;
        }
    }
    if (inWord) {
        found << word;
    }
    words = found;
    return true;
}

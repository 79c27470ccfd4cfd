#pragma once

#include <QString>
#include <QStringList>

// Words as /bin/sh reads them back: a plain word as it is, any other in single quotes.
QString shellWord(const QString &word);
// The words joined into one command line that a shell splits into exactly these words again.
QString shellCommand(const QStringList &words);
// Splits text into words as a POSIX shell does, without running anything: blanks separate words;
// single quotes keep everything, double quotes keep all but a backslash before $ ` " \ or a line
// end; a backslash outside quotes keeps the next character. No expansions: $ and * stay as they
// are. Fails with a message on an unbalanced quote or a trailing backslash.
bool splitShellWords(const QString &text, QStringList &words, QString &error);

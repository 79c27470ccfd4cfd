#pragma once

#include <QString>
#include <QStringList>

// Words as /bin/sh reads them back: a plain word as it is, any other in single quotes.
QString shellWord(const QString &word);
// The words joined into one command line that a shell splits into exactly these words again.
QString shellCommand(const QStringList &words);

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs a short-lived program to completion and explains any failure in one line: "Failed to run the
// program "<program>": <reason>". A time limit of -1 waits for ever. `input`, when given, is what the
// program reads on its standard input, which is closed after it.
bool runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                int timeoutMs, QString &error, const QByteArray &input = QByteArray());

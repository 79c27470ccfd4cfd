#pragma once

#include <QString>
#include <QStringList>

// Runs a short-lived program to completion and explains any failure in one line: "Failed to run the
// program "<program>": <reason>". A time limit of -1 waits for ever.
bool runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                int timeoutMs, QString &error);

#pragma once

#include <QString>
#include <QStringList>

// A program and its arguments, as QProcess runs them (no shell in between).
struct ProgramCall
{
    QString program;
    QStringList arguments;
};

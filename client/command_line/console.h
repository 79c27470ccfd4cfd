#pragma once

#include <QString>

// Where the client speaks: results on standard output, progress and errors on standard error,
// each written at once (a watch's lines must not wait in a buffer).
class Console
{
public:
    static void print(const QString &text);
    static void progress(const QString &text);
    static void error(const QString &text);
};

#include "client/command_line/console.h"

#include <cstdio>

namespace {

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    if (!bytes.endsWith('\n')) {
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

} // namespace

void Console::print(const QString &text)
{
    write(stdout, text);
}

void Console::progress(const QString &text)
{
    write(stderr, text);
}

void Console::error(const QString &text)
{
    write(stderr, QStringLiteral("lumen: ") + text);
}

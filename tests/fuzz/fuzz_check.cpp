#include "fuzz_check.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

void fuzzFailure(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

QString fuzzScratchDirectory()
{
    // In memory where the machine has it: files rewritten hundreds of times a second would
    // otherwise make the disk, not the code, the bottleneck.
    const QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir directory(base + QStringLiteral("/lumen_fuzz-XXXXXX")); // removed at a normal exit
    FUZZ_CHECK(directory.isValid());
    return directory.path();
}

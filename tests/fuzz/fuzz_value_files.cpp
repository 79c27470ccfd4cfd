// The value files of a session directory ("display", "window_mode", "name", "monitor_pid",
// "server_pid", "server_exit"). Any content reads as a value or fails with a text; a value that was
// read is one word, one number in range or (for "name") the whole text, and writing it back gives a
// file that reads the same.

#include "fuzz_check.h"

#include "server/session/value_files.h"

#include <QFile>

#include <cstdint>
#include <limits>

namespace {
QString path(const char *name)
{
    return fuzzScratchDirectory() + QLatin1Char('/') + QLatin1String(name);
}

void writeRaw(const QString &file, const QByteArray &content)
{
    QFile output(file);
    FUZZ_CHECK(output.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(output.write(content) == content.size());
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString file = path("value");
    writeRaw(file, content);
    QString error;

    QString word = QStringLiteral("untouched");
    if (readFileWord(file, word, error)) {
        FUZZ_CHECK(!word.isEmpty());
        for (const QChar character : word) {
            FUZZ_CHECK(!character.isSpace());
        }
        QString again;
        FUZZ_CHECK(writeFileString(path("word"), word, error));
        FUZZ_CHECK(readFileWord(path("word"), again, error));
        FUZZ_CHECK(again == word);
    } else {
        FUZZ_CHECK(word == QStringLiteral("untouched") && !error.isEmpty());
    }

    QString text = QStringLiteral("untouched");
    if (readFileText(file, text, error)) {
        FUZZ_CHECK(!text.trimmed().isEmpty());
        QString again;
        FUZZ_CHECK(writeFileString(path("text"), text, error));
        // Bytes that are not UTF-8 come back as replacement characters, which take more room.
        if (text.toUtf8().size() <= 65536) {
            FUZZ_CHECK(readFileText(path("text"), again, error));
            FUZZ_CHECK(again == text);
        }
    } else {
        FUZZ_CHECK(text == QStringLiteral("untouched") && !error.isEmpty());
    }

    int number = 7;
    if (readFileInt(file, number, error)) {
        int again = 0;
        FUZZ_CHECK(writeFileLongLong(path("int"), number, error));
        FUZZ_CHECK(readFileInt(path("int"), again, error));
        FUZZ_CHECK(again == number);
    } else {
        FUZZ_CHECK(number == 7 && !error.isEmpty());
    }

    quint16 display = 7;
    if (readFileUShort(file, display, error)) {
        quint16 again = 0;
        FUZZ_CHECK(writeFileUShort(path("ushort"), display, error));
        FUZZ_CHECK(readFileUShort(path("ushort"), again, error));
        FUZZ_CHECK(again == display);
        FUZZ_CHECK(readFileInt(file, number, error) && number == display);
    } else {
        FUZZ_CHECK(display == 7 && !error.isEmpty());
    }
    return 0;
}

#include "server/session/value_files.h"

#include "common/regular_file.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

namespace {
// Value files hold one short value.
constexpr qint64 valueFileLimit = 4096;
// A text file holds what a client sent in one request, which is at most this long.
constexpr qint64 textFileLimit = 65536;

QString systemFileError(const char *what, const QString &path, int number)
{
    return QString::fromLatin1(what).arg(path, QString::fromLocal8Bit(std::strerror(number)));
}

// The first white-space-delimited word of the file (leading white space skipped). Only the first
// few KiB of a regular file are looked at: a value file that is a FIFO, a device or huge must not
// stall or flood the caller.
bool readWord(const QString &path, QString &word, QString &error)
{
    RegularFile file;
    QByteArray bytes;
    if (!file.open(path, error) || !file.read(0, valueFileLimit, bytes, error)) {
        return false;
    }
    QTextStream stream(bytes);
    stream.setEncoding(QStringConverter::Utf8);
    // UTF-8 whatever the first bytes look like: a stream would take FE FF for a UTF-16 mark.
    stream.setAutoDetectUnicode(false);
    QString item;
    stream >> item;
    if (stream.status() != QTextStream::Ok) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(path, QStringLiteral("No value found"));
        return false;
    }
    // A word that runs into the bound may go on beyond it: better no value than a cut one.
    if (stream.atEnd() && file.size() > bytes.size()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(path, QStringLiteral("Value too long"));
        return false;
    }
    word = item;
    return true;
}

// The number that opens the file: an optional sign and decimal digits. The text stream's own
// extraction would wrap values that do not fit the type (70000 read as 4464, -1 as 65535) and read a
// leading 0 as octal, so the digits are taken here and range-checked.
template <typename T>
bool readNumber(const QString &path, T &value, QString &error)
{
    QString word;
    if (!readWord(path, word, error)) {
        return false;
    }
    static const QRegularExpression leadingNumber(QStringLiteral("^[+-]?[0-9]+"));
    const QRegularExpressionMatch match = leadingNumber.match(word);
    if (!match.hasMatch()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(path, QStringLiteral("No number found"));
        return false;
    }
    bool ok = false;
    const qlonglong number = match.captured().toLongLong(&ok);
    if (!ok || number < std::numeric_limits<T>::min() || number > std::numeric_limits<T>::max()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2")
                    .arg(path, QStringLiteral("Number out of range"));
        return false;
    }
    value = static_cast<T>(number);
    return true;
}

bool writeValue(const QString &path, const QString &text, QString &error)
{
    // Opened without blocking and checked, so that a FIFO planted under the name fails at once
    // instead of holding the caller until some reader comes.
    int descriptor;
    do {
        descriptor = ::open(QFile::encodeName(path).constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        error = systemFileError("Failed to open the file \"%1\": %2", path, errno);
        return false;
    }
    QFile file;
    file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(path, QStringLiteral("Not a regular file"));
        return false;
    }
    // Before anything is written, so the value is never readable by others, not even briefly.
    if (::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
        error = systemFileError("Failed to set permissions on the file \"%1\": %2", path, errno);
        return false;
    }
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    stream << text;
    stream.flush();
    if (stream.status() != QTextStream::Ok || file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Failed to write to the file \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
}

bool readFileWord(const QString &path, QString &value, QString &error)
{
    return readWord(path, value, error);
}

bool readFileText(const QString &path, QString &value, QString &error)
{
    RegularFile file;
    QByteArray bytes;
    if (!file.open(path, error) || !file.read(0, textFileLimit, bytes, error)) {
        return false;
    }
    if (file.size() > bytes.size()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(path, QStringLiteral("Value too long"));
        return false;
    }
    const QString text = QString::fromUtf8(bytes);
    if (text.trimmed().isEmpty()) {
        error = QStringLiteral("Failed to read from the file \"%1\": %2").arg(path, QStringLiteral("No value found"));
        return false;
    }
    value = text;
    return true;
}

bool readFileUShort(const QString &path, quint16 &value, QString &error)
{
    return readNumber(path, value, error);
}

bool readFileInt(const QString &path, int &value, QString &error)
{
    return readNumber(path, value, error);
}

bool writeFileLongLong(const QString &path, qint64 value, QString &error)
{
    return writeValue(path, QString::number(value), error);
}

bool writeFileUShort(const QString &path, quint16 value, QString &error)
{
    return writeValue(path, QString::number(value), error);
}

bool writeFileString(const QString &path, const QString &value, QString &error)
{
    return writeValue(path, value, error);
}

bool writeFileText(const QString &path, const char *value, QString &error)
{
    return writeValue(path, QString::fromLatin1(value), error);
}

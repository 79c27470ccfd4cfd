#include "server/session/value_files.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

#include <limits>

namespace {
QString fileError(const char *what, const QFile &file)
{
    return QString::fromLatin1(what).arg(file.fileName(), file.errorString());
}

// The first white-space-delimited word of the file (leading white space skipped).
bool readWord(const QString &path, QString &word, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = fileError("Failed to open the file \"%1\": %2", file);
        return false;
    }
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    QString item;
    stream >> item;
    if (stream.status() != QTextStream::Ok) {
        error = fileError("Failed to read from the file \"%1\": %2", file);
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
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = fileError("Failed to open the file \"%1\": %2", file);
        return false;
    }
    // Before anything is written, so the value is never readable by others, not even briefly.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        error = fileError("Failed to set permissions on the file \"%1\": %2", file);
        return false;
    }
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    stream << text;
    stream.flush();
    if (stream.status() != QTextStream::Ok || file.error() != QFileDevice::NoError) {
        error = fileError("Failed to write to the file \"%1\": %2", file);
        return false;
    }
    return true;
}
}

bool readFileWord(const QString &path, QString &value, QString &error)
{
    return readWord(path, value, error);
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

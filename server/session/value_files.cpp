#include "server/session/value_files.h"

#include <QFile>
#include <QTextStream>

namespace {
QString fileError(const char *what, const QFile &file)
{
    return QString::fromLatin1(what).arg(file.fileName(), file.errorString());
}

// Reads one item with the stream's own extraction (leading white space skipped).
template <typename T>
bool readItem(const QString &path, T &value, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = fileError("Failed to open the file \"%1\": %2", file);
        return false;
    }
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Utf8);
    T item{};
    stream >> item;
    if (stream.status() != QTextStream::Ok) {
        error = fileError("Failed to read from the file \"%1\": %2", file);
        return false;
    }
    value = item;
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
    return readItem(path, value, error);
}

bool readFileUShort(const QString &path, quint16 &value, QString &error)
{
    return readItem(path, value, error);
}

bool readFileInt(const QString &path, int &value, QString &error)
{
    return readItem(path, value, error);
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

#include "common/file_logging.h"

#include "common/locked_file.h"

#include <QTextStream>

FileLogging::FileLogging(QObject *parent)
    : QObject(parent)
    , file(new LockedFile(this))
{
}

bool FileLogging::open(const QString &path, QString &error)
{
    QMutexLocker locker(&mutex);
    file->close();
    file->setFileName(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        error = QStringLiteral("Failed to open the file \"%1\": %2").arg(file->fileName(), file->errorString());
        return false;
    }
    return true;
}

void FileLogging::reopen()
{
    QMutexLocker locker(&mutex);
    file->close();
    // A failure leaves the file closed; lines are lost until a later reopen succeeds.
    file->open(QIODevice::WriteOnly | QIODevice::Append);
}

void FileLogging::write(int level, const QString &message)
{
    if (!file->isOpen()) {
        return;
    }
    file->lock();
    {
        QTextStream stream(file);
        stream << formatLine(level, message) << '\n';
        stream.flush();
    }
    file->flush();
    file->unlock();
}

#include "server/process/info_file.h"

#include <QFile>

InfoFile::InfoFile(QObject *parent)
    : QObject(parent)
{
}

InfoFile::~InfoFile()
{
    if (!name.isEmpty()) {
        QFile::remove(name);
    }
}

void InfoFile::setFileName(const QString &fileName)
{
    name = fileName;
}

QString InfoFile::fileName() const
{
    return name;
}

#include "common/search_path.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <unistd.h>

void appendProgramFolderToPath()
{
    const QString folder = QCoreApplication::applicationDirPath();
    if (folder.isEmpty()) {
        return;
    }
    QString path = qEnvironmentVariable("PATH");
    if (path.isEmpty()) {
        // What the shell and execvp() search when PATH is not set.
        char fallback[256] = {};
        ::confstr(_CS_PATH, fallback, sizeof fallback);
        path = QString::fromLocal8Bit(fallback);
    }
    const QStringList entries = path.split(QLatin1Char(':'));
    for (const QString &entry : entries) {
        if (!entry.isEmpty() && QDir(entry).canonicalPath() == QDir(folder).canonicalPath()) {
            return;
        }
    }
    qputenv("PATH", QFile::encodeName(path + QLatin1Char(':') + folder));
}

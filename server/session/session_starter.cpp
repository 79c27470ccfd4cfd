#include "server/session/session_starter.h"

#include "server/session/agent_contract.h"
#include "server/session/value_files.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {
const QString serverWord = QStringLiteral("server");
const QString jobWord = QStringLiteral("job");

QString recordPath(const QString &directory)
{
    return QDir(directory).filePath(AgentContract::starterFile);
}
}

bool SessionStarter::processStartTicks(qint64 pid, quint64 &ticks)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    // "<pid> (<name>) <state> ...": the name may hold anything, the fields after it not. The start
    // time is the 22nd field, the 20th after the name.
    const QByteArray text = stat.read(4096);
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    bool number = false;
    ticks = fields.size() > 19 ? fields.at(19).toULongLong(&number) : 0;
    return number;
}

bool SessionStarter::write(const QString &directory, Kind kind, QString &error)
{
    quint64 ticks = 0;
    const qint64 self = ::getpid();
    if (!processStartTicks(self, ticks)) {
        error = QStringLiteral("Failed to read the start time of the process %1").arg(self);
        return false;
    }
    const QString text = QStringLiteral("%1 %2 %3").arg(kind == Job ? jobWord : serverWord).arg(self).arg(ticks);
    return writeFileString(recordPath(directory), text, error);
}

bool SessionStarter::read(const QString &directory, Record &record)
{
    QString text;
    QString ignored;
    if (!QFile::exists(recordPath(directory)) || !readFileText(recordPath(directory), text, ignored)) {
        return false;
    }
    const QStringList words = text.simplified().split(QLatin1Char(' '));
    if (words.size() != 3 || (words.at(0) != serverWord && words.at(0) != jobWord)) {
        return false;
    }
    bool pidRead = false;
    bool ticksRead = false;
    Record read;
    read.kind = words.at(0) == jobWord ? Job : Server;
    read.pid = words.at(1).toLongLong(&pidRead);
    read.startTicks = words.at(2).toULongLong(&ticksRead);
    if (!pidRead || !ticksRead || read.pid <= 0) {
        return false;
    }
    record = read;
    return true;
}

bool SessionStarter::remove(const QString &directory, QString &error)
{
    QFile file(recordPath(directory));
    if (!file.remove() && file.exists()) {
        error = QStringLiteral("Failed to remove the file \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

bool SessionStarter::isAnotherLiveProcess(const Record &record)
{
    quint64 ticks = 0;
    return record.pid != ::getpid() && processStartTicks(record.pid, ticks) && ticks == record.startTicks;
}

#include "server/session/session_stage.h"

#include "server/session/agent_contract.h"
#include "server/session/value_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
QString recordPath(const QString &directory)
{
    return QDir(directory).filePath(AgentContract::stageFile);
}

constexpr SessionStage::Stage recordedStages[] = {SessionStage::Preparing, SessionStage::AgentLaunched,
                                                  SessionStage::StartingApplication, SessionStage::Removing};
}

QString SessionStage::name(Stage stage)
{
    switch (stage) {
    case Complete:
        return QStringLiteral("complete");
    case Preparing:
        return QStringLiteral("preparing");
    case AgentLaunched:
        return QStringLiteral("agent");
    case StartingApplication:
        return QStringLiteral("application");
    case Removing:
        return QStringLiteral("removing");
    case Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

SessionStage::Stage SessionStage::read(const QString &directory)
{
    const QString path = recordPath(directory);
    if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path)) {
        return Complete;
    }
    QString word;
    QString ignored;
    if (!readFileWord(path, word, ignored)) {
        return Unknown;
    }
    for (Stage stage : recordedStages) {
        if (word == name(stage)) {
            return stage;
        }
    }
    return Unknown;
}

bool SessionStage::write(const QString &directory, Stage stage, QString &error)
{
    return writeFileString(recordPath(directory), name(stage), error);
}

bool SessionStage::clear(const QString &directory, QString &error)
{
    QFile record(recordPath(directory));
    if (!record.remove() && record.exists()) {
        error = QStringLiteral("Failed to remove the file \"%1\": %2").arg(record.fileName(), record.errorString());
        return false;
    }
    return true;
}

#include "tests/live_server/live_server.h"

#include <QDir>
#include <QFile>
#include <QTest>

LiveServer::LiveServer(int displayBase)
{
    env.setSetting("DisplayBase", displayBase);
    env.setSetting("DisplayLimit", 20);
    env.setSetting("LogLevel", "Debug1");
}

LiveServer::~LiveServer()
{
    if (!QTest::currentTestFailed()) {
        return;
    }
    QFile log(env.userFile("server_log"));
    if (log.open(QIODevice::ReadOnly)) {
        const qint64 tail = 6000;
        log.seek(qMax<qint64>(0, log.size() - tail));
        qWarning("the end of the server's log:\n%s", log.readAll().constData());
    }
}

bool LiveServer::start(QString &error)
{
    if (!env.createUserPath()) {
        error = "cannot create the user path";
        return false;
    }
    const LaunchResult launched = server.launch();
    if (!launched.finished || launched.exitCode != 0 || !server.waitForFile("server_port")) {
        error = "the server did not start: " + QString::fromLocal8Bit(launched.standardError);
        return false;
    }
    return true;
}

std::unique_ptr<RpcClient> LiveServer::connect()
{
    auto client = std::make_unique<RpcClient>();
    if (!server.connectClient(*client)) {
        return nullptr;
    }
    return client;
}

QString LiveServer::sessionDir(const QString &id) const
{
    return env.userFile("sessions/C-" + id);
}

QString LiveServer::readSessionFile(const QString &id, const QString &name) const
{
    QFile file(sessionDir(id) + "/" + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool LiveServer::control(const QString &id, const QString &name, const QString &content) const
{
    const QString path = sessionDir(id) + "/" + name;
    QFile file(path + ".tmp");
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(content.toUtf8());
    file.close();
    return QFile::rename(path + ".tmp", path);
}

QStringList LiveServer::addedPasswords(const QString &id) const
{
    QStringList passwords;
    const QString prefix = "Added new password ";
    for (const QString &line : readSessionFile(id, "server_log").split('\n')) {
        if (line.startsWith(prefix)) {
            passwords << line.mid(prefix.size());
        }
    }
    return passwords;
}

QString LiveServer::permissionsOf(const Json::Value &list, const QString &id)
{
    if (!list.isArray()) {
        return QString();
    }
    for (const Json::Value &session : list) {
        if (session["id"].asString() == id.toStdString()) {
            return QString::fromStdString(session["permissions"].asString());
        }
    }
    return QString();
}

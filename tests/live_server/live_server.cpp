#include "tests/live_server/live_server.h"

#include <QDir>
#include <QFile>
#include <QUuid>

LiveServer::LiveServer()
{
    env.setSetting("DisplayBase", 100);
    env.setSetting("DisplayLimit", 20);
    env.setSetting("LogLevel", "Debug1");
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
    QString error;
    if (!client->setIdentity(env.userPath() + "/../server_cert", env.userPath() + "/../server_key", error)
        || !client->connectToServer(server.port())) {
        return nullptr;
    }
    return client;
}

Json::Value LiveServer::call(RpcClient &client, const QString &method, const Json::Value &params, int timeoutMs)
{
    static int nextId = 1;
    Json::Value response;
    if (!client.call(method, params, nextId++, response, timeoutMs)) {
        return Json::Value("no response");
    }
    return response;
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

QString LiveServer::newId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

Json::Value LiveServer::strings(std::initializer_list<const char *> values)
{
    Json::Value array(Json::arrayValue);
    for (const char *value : values) {
        array.append(value);
    }
    return array;
}

Json::Value LiveServer::params3(const QString &id, const QString &command, const QString &geometry)
{
    Json::Value array(Json::arrayValue);
    array.append(id.toStdString());
    array.append(command.toStdString());
    array.append(geometry.toStdString());
    return array;
}

Json::Value LiveServer::idParam(const QString &id)
{
    Json::Value array(Json::arrayValue);
    array.append(id.toStdString());
    return array;
}

int LiveServer::errorCode(const Json::Value &response)
{
    if (!response.isObject() || !response.isMember("error")) {
        return 0;
    }
    return response["error"]["code"].asInt();
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

#pragma once

#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QStringList>
#include <memory>

// A running lumen_server with the stand-in launchers, and the helpers the session tests share.
class LiveServer
{
public:
    LiveServer();

    TestEnvironment env;
    ServerRunner server{env};

    // Launches the server; false (with the reason in `error`) when it did not come up.
    bool start(QString &error);
    std::unique_ptr<RpcClient> connect();

    // Sends one request and waits for its answer.
    Json::Value call(RpcClient &client, const QString &method, const Json::Value &params, int timeoutMs = 30000);

    QString sessionDir(const QString &id) const;
    QString readSessionFile(const QString &id, const QString &name) const;
    // Asks the stand-in agent to act, through one of its control files.
    bool control(const QString &id, const QString &name, const QString &content = QString()) const;
    // The passwords the agent has added, in order, as its log tells.
    QStringList addedPasswords(const QString &id) const;

    static QString newId();
    static Json::Value strings(std::initializer_list<const char *> values);
    static Json::Value params3(const QString &id, const QString &command, const QString &geometry);
    static Json::Value idParam(const QString &id);
    static int errorCode(const Json::Value &response);
    // The "permissions" member of the listed session with this id, or a null string when absent.
    static QString permissionsOf(const Json::Value &list, const QString &id);
};

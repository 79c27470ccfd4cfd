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
    // The displays from `displayBase` on, twenty of them. Every test program has a range of its own:
    // the agents' sockets and ports are the host's, so two programs on one range would meet.
    explicit LiveServer(int displayBase);
    // After a failed test, prints the end of the server's log: a failure seen only in CI explains itself.
    ~LiveServer();

    TestEnvironment env;
    ServerRunner server{env};

    // Launches the server; false (with the reason in `error`) when it did not come up.
    bool start(QString &error);
    // A client connected with the user's certificate, or null.
    std::unique_ptr<RpcClient> connect();

    QString sessionDir(const QString &id) const;
    QString readSessionFile(const QString &id, const QString &name) const;
    // Asks the stand-in agent to act, through one of its control files.
    bool control(const QString &id, const QString &name, const QString &content = QString()) const;
    // The passwords the agent has added, in order, as its log tells.
    QStringList addedPasswords(const QString &id) const;

    // The "permissions" member of the listed session with this id, or a null string when absent.
    static QString permissionsOf(const Json::Value &list, const QString &id);
};

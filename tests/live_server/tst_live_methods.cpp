#include "tests/live_server/live_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>


#include <csignal>

namespace {
constexpr int methodsDisplayBase = 100;
}

// The session methods end to end: a client of the real server starts, lists, resumes, replays,
// suspends and terminates sessions run by the stand-in agent.
class LiveMethodsTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LiveServer> live;
    std::unique_ptr<RpcClient> client;

    Json::Value call(const QString &method, const Json::Value &params, int timeoutMs = 30000)
    {
        return client->call(method, params, timeoutMs);
    }

    QString startSession(const QString &command = "xterm", const QString &geometry = "1024x768")
    {
        const QString id = RpcClient::newSessionId();
        const Json::Value response = client->startSession(id, command, geometry);
        if (!response.isMember("result")) {
            qWarning("the start was answered with %s", response.toStyledString().c_str());
            return QString();
        }
        return id;
    }

    Json::Value listLocal() { return call("Live.ListLocalSessions", Json::Value())["result"]; }

    // The children of the process that have ended and were not waited for.
    static int zombieChildren(qint64 parent)
    {
        int zombies = 0;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat("/proc/" + entry + "/stat");
            if (entry.front().isDigit() && stat.open(QIODevice::ReadOnly)) {
                // After the command name: the state, then the parent's id.
                const QByteArray text = stat.readAll();
                const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
                zombies += fields.size() > 1 && fields.at(0) == "Z" && fields.at(1).toLongLong() == parent ? 1 : 0;
            }
        }
        return zombies;
    }

private slots:
    void init()
    {
        live = std::make_unique<LiveServer>(methodsDisplayBase);
        QString error;
        QVERIFY2(live->start(error), qPrintable(error));
        client = live->connect();
        QVERIFY(client);
    }

    void cleanup()
    {
        client.reset();
        live.reset();
    }

    void startHandsOutTheAgentsPassword()
    {
        const QString id = RpcClient::newSessionId();
        const Json::Value response = call("Live.Start", RpcClient::startParams(id, "xterm -geometry 80x24", "1024x768"));
        QVERIFY2(response.isMember("result"), response.toStyledString().c_str());
        const Json::Value result = response["result"];
        QCOMPARE(result["geometry"].asString(), std::string("1024x768"));
        const int display = live->readSessionFile(id, "display").toInt();
        QVERIFY(display >= 100 && display < 120);
        QCOMPARE(result["port"].asInt(), 41000 + display);
        QVERIFY(result["port"].isIntegral());
        const QStringList passwords = live->addedPasswords(id);
        QVERIFY(!passwords.isEmpty());
        QCOMPARE(QString::fromStdString(result["password"].asString()), passwords.last());

        // The session's files, and the application's command as one argument.
        QCOMPARE(live->readSessionFile(id, "window_mode"), QString("desktop"));
        QCOMPARE(live->readSessionFile(id, "name"), QString("xterm -geometry 80x24"));
        QCOMPARE(live->readSessionFile(id, "info"), QString("{\n}"));
        QVERIFY(live->readSessionFile(id, "monitor_pid").toInt() > 0);
        QVERIFY(QFile::exists(live->sessionDir(id) + "/authority"));
        QVERIFY(QFile::exists(live->sessionDir(id) + "/app_log"));
        QTRY_COMPARE(RpcClient::parse(live->readSessionFile(id, "app_args").toUtf8()).size(), 1u);
        QCOMPARE(RpcClient::parse(live->readSessionFile(id, "app_args").toUtf8())[0].asString(), std::string("xterm -geometry 80x24"));
        QCOMPARE(RpcClient::parse(live->readSessionFile(id, "agent_args").toUtf8())[1].asString(),
                 std::to_string(41000 + display));
    }

    void startByNameEchoesRootless()
    {
        Json::Value params(Json::objectValue);
        const QString id = RpcClient::newSessionId();
        params["id"] = id.toStdString();
        params["command"] = "xclock";
        params["geometry"] = "rootless";
        params["colour"] = "ignored";
        const Json::Value response = call("Live.Start", params);
        QVERIFY2(response.isMember("result"), response.toStyledString().c_str());
        QCOMPARE(response["result"]["geometry"].asString(), std::string("rootless"));
        QCOMPARE(live->readSessionFile(id, "window_mode"), QString("rootless"));
        const Json::Value sessions = listLocal();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(sessions[0]["windowMode"].asString(), std::string("rootless"));
        QCOMPARE(sessions[0]["name"].asString(), std::string("xclock"));
        QCOMPARE(sessions[0]["location"].asString(), std::string()); // discovery is off
    }

    void sessionStateMachine()
    {
        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        // Start leaves a password offered to the first viewer.
        QCOMPARE(LiveServer::permissionsOf(listLocal(), id), QString("retry|terminate"));
        QCOMPARE(RpcClient::errorCode(call("Live.Resume", RpcClient::idParams(id))), -32092);
        QCOMPARE(RpcClient::errorCode(call("Live.Suspend", RpcClient::idParams(id))), -32092);

        // Once it expires the session waits; resume asks the agent for a fresh one.
        QVERIFY(live->control(id, "fake_agent_expire"));
        QTRY_COMPARE_WITH_TIMEOUT(LiveServer::permissionsOf(listLocal(), id), QString("connect|terminate"), 5000);
        QCOMPARE(RpcClient::errorCode(call("Live.Replay", RpcClient::idParams(id))), -32092);
        const int before = live->addedPasswords(id).size();
        const Json::Value resumed = call("Live.Resume", RpcClient::idParams(id));
        QVERIFY2(resumed.isMember("result"), resumed.toStyledString().c_str());
        QCOMPARE(live->addedPasswords(id).size(), before + 1);
        QCOMPARE(QString::fromStdString(resumed["result"]["password"].asString()), live->addedPasswords(id).last());
        QCOMPARE(resumed["result"]["windowMode"].asString(), std::string("desktop"));
        QCOMPARE(resumed["result"]["port"].asInt(), 41000 + live->readSessionFile(id, "display").toInt());
        QCOMPARE(LiveServer::permissionsOf(listLocal(), id), QString("retry|terminate"));
        const Json::Value replay = call("Live.Replay", RpcClient::idParams(id))["result"];
        QCOMPARE(QString::fromStdString(replay["password"].asString()), live->addedPasswords(id).last());

        // A viewer logs in with it.
        QVERIFY(live->control(id, "fake_agent_connect", "192.0.2.7"));
        QTRY_COMPARE_WITH_TIMEOUT(LiveServer::permissionsOf(listLocal(), id), QString("disconnect|terminate"), 5000);
        QVERIFY(!listLocal()[0]["lastConnect"].asString().empty());
        QCOMPARE(RpcClient::errorCode(call("Live.Replay", RpcClient::idParams(id))), -32092);
        QCOMPARE(RpcClient::errorCode(call("Live.Resume", RpcClient::idParams(id))), -32092);

        // Suspend sends the viewer away; the session waits for the next one.
        const Json::Value suspended = call("Live.Suspend", RpcClient::idParams(id));
        QVERIFY2(suspended.isMember("result") && suspended["result"].isNull(), suspended.toStyledString().c_str());
        QCOMPARE(LiveServer::permissionsOf(listLocal(), id), QString("connect|terminate"));
        QVERIFY(!listLocal()[0]["lastDisconnect"].asString().empty());

        const Json::Value terminated = call("Live.Terminate", RpcClient::idParams(id));
        QVERIFY2(terminated.isMember("result") && terminated["result"].isNull(), terminated.toStyledString().c_str());
        QVERIFY(!QFile::exists(live->sessionDir(id)));
        QVERIFY(listLocal().isNull());
    }

    void terminateKeepsTheDirectoryOfAFailedAgent()
    {
        const QString id = RpcClient::newSessionId();
        QVERIFY(QDir().mkpath(live->sessionDir(id)));
        QVERIFY(live->control(id, "fake_agent_mode", "exit-code=1"));
        QVERIFY(client->startSession(id).isMember("result"));
        QVERIFY(call("Live.Terminate", RpcClient::idParams(id)).isMember("result"));
        QVERIFY(QFile::exists(live->sessionDir(id)));
        QCOMPARE(live->readSessionFile(id, "server_exit"), QString("1"));
        QVERIFY(listLocal().isNull());
    }

    void malformedParametersAreRefused()
    {
        const Json::Value shortStart = RpcClient::strings({"0123456789abcdef0123456789abcdef", "xterm"});
        Json::Value numberId(Json::objectValue);
        numberId["id"] = 42;
        Json::Value numberArray(Json::arrayValue);
        numberArray.append(42);
        const QList<QPair<QString, Json::Value>> cases = {
            {"Live.Start", shortStart},
            {"Live.Start", Json::Value()},
            {"Live.Resume", numberArray},
            {"Live.Resume", numberId},
            {"Live.Replay", Json::Value(Json::objectValue)},
            {"Live.Suspend", Json::Value("0123456789abcdef0123456789abcdef")},
            {"Live.Terminate", Json::Value(Json::arrayValue)},
        };
        for (const auto &entry : cases) {
            const Json::Value response = call(entry.first, entry.second);
            QCOMPARE(RpcClient::errorCode(response), -32602);
            QCOMPARE(response["error"]["message"].asString(), std::string("Invalid parameters."));
        }
        QVERIFY(QDir(live->env.userFile("sessions")).isEmpty());
    }

    void unknownAndMalformedIds()
    {
        const Json::Value unknown = call("Live.Resume", RpcClient::idParams(RpcClient::newSessionId()));
        QCOMPARE(RpcClient::errorCode(unknown), -32094);
        QCOMPARE(unknown["error"]["message"].asString(), std::string("No session exists with the given id."));
        for (const char *id : {"0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                               "0123456789abcdef0123456789abcdeg", "../../etc"}) {
            QCOMPARE(RpcClient::errorCode(client->startSession(id)), -32094);
        }
        QVERIFY(live->server.log().contains("Warning: Got a bad id"));
        QVERIFY(QDir(live->env.userFile("sessions")).isEmpty());
        QVERIFY(call("Live.ListLocalSessions", Json::Value()).isMember("result"));
        QVERIFY(listLocal().isNull());
        QVERIFY(call("Live.ListSessions", Json::Value())["result"].isNull());
    }

    void startOfAStoredIdIsRefused()
    {
        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        const QString monitor = live->readSessionFile(id, "monitor_pid");
        QCOMPARE(RpcClient::errorCode(client->startSession(id)), -32094);
        QCOMPARE(live->readSessionFile(id, "monitor_pid"), monitor); // no second agent in that directory
        QVERIFY(call("Live.Terminate", RpcClient::idParams(id)).isMember("result"));
    }

    void agentThatDiesWhileStartingIsReported()
    {
        const QString id = RpcClient::newSessionId();
        QVERIFY(QDir().mkpath(live->sessionDir(id)));
        QVERIFY(live->control(id, "fake_agent_mode", "never-starts,exit-after=300,exit-code=3"));
        const Json::Value response = client->startSession(id);
        QCOMPARE(RpcClient::errorCode(response), -32099);
        QCOMPARE(response["error"]["message"].asString(), std::string("An unknown error occurred."));
        QTRY_VERIFY_WITH_TIMEOUT(listLocal().isNull(), 5000);
        QVERIFY(QFile::exists(live->sessionDir(id))); // ended with status 3: kept for a look
    }

    void agentThatNeverStartsTimesOut()
    {
        const QString id = RpcClient::newSessionId();
        QVERIFY(QDir().mkpath(live->sessionDir(id)));
        QVERIFY(live->control(id, "fake_agent_mode", "never-starts"));
        QElapsedTimer timer;
        timer.start();
        const Json::Value response = client->startSession(id, "xterm", "800x600", 40000);
        QCOMPARE(RpcClient::errorCode(response), -32077);
        QVERIFY(timer.elapsed() >= 14000);
        QCOMPARE(response["error"]["message"].asString(), std::string("Timed out waiting for the agent."));
        QVERIFY(call("Live.Terminate", RpcClient::idParams(id)).isMember("result"));
    }

    void updatesFollowTheList_data()
    {
        QTest::addColumn<bool>("watchLimitReached");
        QTest::newRow("watched") << false;
        QTest::newRow("inotify watch limit reached") << true;
    }

    // The updates are told of an agent's changes, and fall back to looking at every session each time
    // when they cannot be told. Either way a change reaches the clients at the next update (one every
    // 400 ms), long before the slow look that catches what no event shows (10 s). The agents serve their
    // information socket, which the server reads whenever the log says something changed.
    void updatesFollowTheList()
    {
        QFETCH(bool, watchLimitReached);
        client.reset();
        live = std::make_unique<LiveServer>(methodsDisplayBase);
        live->env.setVariable("FAKE_AGENT_MODE", "socket");
        if (watchLimitReached) {
            if (!ServerRunner::canLimitInotifyWatches()) {
                QSKIP("no user namespace in which to reach an inotify watch limit");
            }
            live->server.setInotifyWatchLimit(0);
        }
        QString error;
        QVERIFY2(live->start(error), qPrintable(error));
        client = live->connect();
        QVERIFY(client);

        // The first update, 400 ms after the start, says the list is empty. A client that connects
        // later (the start can take that long on a busy machine) hears nothing until the list changes.
        Json::Value first;
        if (client->waitForNotification("UpdateSessions", first, 1000)) {
            QVERIFY(first["params"].isNull());
        }
        auto second = live->connect();
        QVERIFY(second);
        client->idle(1000);
        QCOMPARE(client->pendingNotifications(), 0); // nothing changed, nothing sent

        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        Json::Value update;
        QVERIFY(client->waitForNotification("UpdateSessions", update, 5000));
        QCOMPARE(update["params"].size(), 1u);
        QCOMPARE(QString::fromStdString(update["params"][0]["id"].asString()), id);
        QVERIFY(second->waitForFrames(1, 5000));
        // The answer to the start and the update may come in either order.
        QByteArray seenByFirst;
        for (const QByteArray &payload : client->payloads()) {
            if (payload.contains("\"UpdateSessions\"") && payload.contains(id.toUtf8())) {
                seenByFirst = payload;
            }
        }
        QCOMPARE(second->payloads().first(), seenByFirst);
        QVERIFY(second->payloads().first().startsWith("{\"jsonrpc\":\"2.0\",\"method\":\"UpdateSessions\",\"params\":[{"));

        // How long a change takes to reach the clients; the agent looks at its control files every 20 ms.
        QElapsedTimer timer;
        const auto nextUpdate = [this, &timer, &update] {
            const bool seen = client->waitForNotification("UpdateSessions", update, 5000);
            qInfo("seen after %lld ms", timer.elapsed());
            return seen && timer.elapsed() < 2000;
        };
        // A log line: a viewer logs in.
        timer.start();
        QVERIFY(live->control(id, "fake_agent_connect"));
        QVERIFY(nextUpdate());
        QCOMPARE(update["params"][0]["permissions"].asString(), std::string("disconnect|terminate"));
        QVERIFY(!update["params"][0]["lastConnect"].asString().empty());
        // A change of state that only the information socket shows in full: the viewer leaves.
        timer.restart();
        QVERIFY(live->control(id, "fake_agent_disconnect"));
        QVERIFY(nextUpdate());
        QCOMPARE(update["params"][0]["permissions"].asString(), std::string("connect|terminate"));
        QVERIFY(!update["params"][0]["lastDisconnect"].asString().empty());

        // An agent that dies without a word leaves the list at the next update.
        timer.restart();
        QVERIFY(::kill(live->readSessionFile(id, "monitor_pid").toInt(), SIGKILL) == 0);
        QVERIFY(nextUpdate());
        QVERIFY(update["params"].isNull());
        // The launchers are the server's children, and none of them stays behind as a zombie.
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(live->server.pid()), 0, 5000);

        const QString warning = "Warning: Failed to watch the session in \"";
        if (watchLimitReached) {
            // Said once, however many sessions it concerns.
            QVERIFY(!startSession().isEmpty());
            QVERIFY(client->waitForNotification("UpdateSessions", update, 5000));
            QCOMPARE(live->server.log().count(warning), 1);
            QVERIFY(live->server.log().contains("the inotify watch limit of the user is reached"));
        } else {
            QCOMPARE(live->server.log().count(warning), 0);
        }
    }

    // Hostile input from inside a session's reach: too deeply nested JSON on the agent's information
    // socket, a "server_pid" naming a process of the test, and a stored session whose "display" leads
    // to /dev/zero. The server lives, answers, and signals nothing but its agents.
    void hostileSessionFilesLeaveTheServerAlive()
    {
        const QString id = startSession();
        QVERIFY(!id.isEmpty());
        QLocalServer infoSocket;
        QVERIFY(infoSocket.listen("/tmp/Xrdp_" + live->readSessionFile(id, "display") + ".sock"));
        int answered = 0;
        connect(&infoSocket, &QLocalServer::newConnection, this, [&] {
            while (QLocalSocket *connection = infoSocket.nextPendingConnection()) {
                connection->write(QByteArray(1000, '['));
                connection->disconnectFromServer();
                connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
                ++answered;
            }
        });
        // The update asks the socket whenever the agent's log shows a change.
        for (int resized = 1; resized <= 3; ++resized) {
            QVERIFY(live->control(id, "fake_agent_resize", QString("800x60%1").arg(resized)));
            QTRY_VERIFY_WITH_TIMEOUT(answered >= resized, 10000);
        }
        QVERIFY(live->server.isRunning());
        QVERIFY(listLocal().isArray());

        const auto setServerPid = [&](const QByteArray &pid) {
            QFile file(live->sessionDir(id) + "/server_pid");
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(pid) == pid.size();
        };
        QProcess stranger;
        stranger.start("sleep", {"60"});
        QVERIFY(stranger.waitForStarted(5000));
        QVERIFY(setServerPid(QByteArray::number(stranger.processId())));
        const Json::Value refused = call("Live.Terminate", RpcClient::idParams(id));
        QCOMPARE(RpcClient::errorCode(refused), -32086);
        QVERIFY(live->server.log().contains(
            QString("Warning: The process with pid \"%1\" is not the agent of the session").arg(stranger.processId())));
        QVERIFY(!stranger.waitForFinished(500));
        QCOMPARE(stranger.state(), QProcess::Running);
        stranger.kill();
        stranger.waitForFinished(5000);

        const QString broken = live->sessionDir(RpcClient::newSessionId());
        QVERIFY(QDir().mkpath(broken));
        QVERIFY(QFile::link("/dev/zero", broken + "/display"));
        for (const char *name : {"window_mode", "name", "monitor_pid"}) {
            QFile file(broken + "/" + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("1") == 1);
        }
        client.reset();
        QVERIFY(live->server.stop(SIGTERM));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(live->server.launch(20000).exitCode, 0);
        QVERIFY(clock.elapsed() < 10000);
        client = live->connect();
        QVERIFY(client);
        const Json::Value sessions = listLocal();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(QString::fromStdString(sessions[0]["id"].asString()), id);
        QVERIFY(live->server.log().contains(
            QString("Warning: Failed to open the file \"%1/display\": Not a regular file").arg(broken)));
        QTRY_VERIFY_WITH_TIMEOUT(answered >= 6, 10000); // asked again by the new server, which lives on
        QVERIFY(live->server.isRunning());
        QVERIFY(setServerPid(live->readSessionFile(id, "monitor_pid").toLatin1()));
        QVERIFY(call("Live.Terminate", RpcClient::idParams(id)).isMember("result"));
    }

    void restartedServerFindsItsSessions()
    {
        const QString id = startSession("xterm -geometry 80x24");
        QVERIFY(!id.isEmpty());
        client.reset();
        QVERIFY(live->server.stop(SIGTERM));
        QVERIFY(QFile::exists(live->sessionDir(id)));

        const LaunchResult again = live->server.launch();
        QCOMPARE(again.exitCode, 0);
        QVERIFY(live->server.waitForFile("server_port"));
        client = live->connect();
        QVERIFY(client);
        const Json::Value sessions = listLocal();
        QCOMPARE(sessions.size(), 1u);
        QCOMPARE(QString::fromStdString(sessions[0]["id"].asString()), id);
        QCOMPARE(sessions[0]["name"].asString(), std::string("xterm -geometry 80x24")); // the whole command
        QCOMPARE(LiveServer::permissionsOf(sessions, id), QString("retry|terminate"));

        // A session the server found at its start is watched like one it started: a viewer's login
        // reaches the clients at the next update, not at the slow look.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(live->control(id, "fake_agent_connect"));
        Json::Value update;
        bool connected = false;
        while (!connected && client->waitForNotification("UpdateSessions", update, 3000)) {
            connected = update["params"][0]["permissions"].asString() == "disconnect|terminate";
        }
        QVERIFY(connected);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString("seen after %1 ms").arg(timer.elapsed())));

        QVERIFY(call("Live.Terminate", RpcClient::idParams(id)).isMember("result"));
        QVERIFY(!QFile::exists(live->sessionDir(id)));
    }
};

QTEST_GUILESS_MAIN(LiveMethodsTest)
#include "tst_live_methods.moc"

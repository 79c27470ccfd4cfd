#include "tests/live_server/live_server.h"
#include "tests/support/private_network.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

namespace {
// Displays no other test uses: a full range must be the test's own.
constexpr int hundredBase = 800;
// The displays of the tests with a few sessions.
constexpr int smallDisplayBase = 700;
}

// Several clients at once: the store lets one thread work on a session at a time and keeps the
// others waiting, never losing a session or an agent.
class LiveConcurrencyTest : public QObject
{
    Q_OBJECT

private:
    // Processes whose working directory lies in the server's sessions folder.
    static int agentsIn(const QString &sessionsPath)
    {
        const QString prefix = QFileInfo(sessionsPath).canonicalFilePath();
        int count = 0;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            bool isPid = false;
            entry.toInt(&isPid);
            if (isPid && QFileInfo("/proc/" + entry + "/cwd").symLinkTarget().startsWith(prefix + "/")) {
                ++count;
            }
        }
        return count;
    }

private slots:
    void twoTerminatesOfOneSession()
    {
        LiveServer live(smallDisplayBase);
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto first = live.connect();
        auto second = live.connect();
        QVERIFY(first && second);
        const QString id = RpcClient::newSessionId();
        QVERIFY(first->startSession(id).isMember("result"));

        first->sendRequest("Live.Terminate", RpcClient::idParams(id), 1);
        second->sendRequest("Live.Terminate", RpcClient::idParams(id), 2);
        Json::Value one;
        Json::Value two;
        QVERIFY(first->waitForResponse(1, one, 30000));
        QVERIFY(second->waitForResponse(2, two, 30000));
        QList<int> codes = {RpcClient::errorCode(one), RpcClient::errorCode(two)};
        std::sort(codes.begin(), codes.end());
        QCOMPARE(codes, QList<int>({-32094, 0}));
    }

    void listWaitsForAHeldSession()
    {
        LiveServer live(smallDisplayBase);
        live.env.setVariable("FAKE_AGENT_MODE", "start-delay=2000");
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto starter = live.connect();
        auto lister = live.connect();
        QVERIFY(starter && lister);
        const QString id = RpcClient::newSessionId();
        QElapsedTimer timer;
        timer.start();
        starter->sendRequest("Live.Start", RpcClient::startParams(id, "xterm", "800x600"), 1);
        starter->idle(300); // the start now holds the session while its agent comes up
        Json::Value list;
        QVERIFY(lister->call("Live.ListLocalSessions", Json::Value(), 2, list, 30000));
        QVERIFY2(timer.elapsed() >= 1500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(list["result"].size(), 1u);
        QCOMPARE(LiveServer::permissionsOf(list["result"], id), QString("retry|terminate"));
        Json::Value started;
        QVERIFY(starter->waitForResponse(1, started, 30000));
        QVERIFY(started.isMember("result"));
    }

    // A range of 100 displays takes 100 sessions, started by ten clients at once, and one more start
    // finds no display. Then all of them end at once while another client lists again and again:
    // every list answers with the sessions as they are, never with an error.
    void aHundredSessionsFillTheirDisplaysAndEnd()
    {
        constexpr int clientCount = 10;
        constexpr int perClient = 10;
        LiveServer live(smallDisplayBase);
        live.env.setSetting("DisplayBase", hundredBase);
        live.env.setSetting("DisplayLimit", clientCount * perClient);
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        std::vector<std::unique_ptr<RpcClient>> clients;
        QStringList ids;
        for (int c = 0; c < clientCount; ++c) {
            clients.push_back(live.connect());
            QVERIFY(clients.back());
            for (int s = 0; s < perClient; ++s) {
                ids << RpcClient::newSessionId();
                clients[c]->sendRequest("Live.Start", RpcClient::startParams(ids.last(), "xterm", "800x600"), int(ids.size()));
            }
        }
        QSet<int> ports;
        for (int i = 0; i < ids.size(); ++i) {
            Json::Value response;
            QVERIFY(clients[i / perClient]->waitForResponse(i + 1, response, 120000));
            QVERIFY2(response.isMember("result"), qPrintable(QString::fromStdString(response.toStyledString()) + live.server.log().right(3000)));
            ports << response["result"]["port"].asInt();
        }
        QCOMPARE(ports.size(), ids.size()); // each session got a display of its own
        QCOMPARE(RpcClient::errorCode(clients[0]->startSession(RpcClient::newSessionId())), -32089);

        auto lister = live.connect();
        QVERIFY(lister);
        for (int i = 0; i < ids.size(); ++i) {
            clients[i / perClient]->sendRequest("Live.Terminate", RpcClient::idParams(ids[i]), 1000 + i);
        }
        const auto answered = [&] {
            int count = 0;
            for (const auto &client : clients) {
                count += client->pendingResponses();
            }
            return count;
        };
        int lists = 0;
        QElapsedTimer timer;
        timer.start();
        while (answered() < ids.size() && timer.elapsed() < 120000) {
            const Json::Value list = lister->call("Live.ListSessions");
            QVERIFY2(list.isMember("result"), list.toStyledString().c_str());
            ++lists;
        }
        QVERIFY2(lists > 1, qPrintable(QString::number(lists)));
        for (int i = 0; i < ids.size(); ++i) {
            Json::Value response;
            QVERIFY(clients[i / perClient]->waitForResponse(1000 + i, response, 60000));
            QVERIFY2(response.isMember("result"), response.toStyledString().c_str());
        }
        const QString sessions = live.env.userFile("sessions");
        QVERIFY(QDir(sessions).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(agentsIn(sessions), 0, 10000);
        QVERIFY(lister->call("Live.ListLocalSessions")["result"].isNull());
    }

    void suspendTimeoutEndsAnAbandonedSession()
    {
        LiveServer live(smallDisplayBase);
        live.env.setSetting("SuspendTimeout", 0);
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto client = live.connect();
        QVERIFY(client);
        const QString kept = RpcClient::newSessionId();
        const QString left = RpcClient::newSessionId();
        QVERIFY(client->startSession(kept).isMember("result"));
        QVERIFY(client->startSession(left).isMember("result"));
        // One viewer comes and goes; the other session never had one.
        QVERIFY(live.control(left, "fake_agent_connect"));
        QTRY_COMPARE_WITH_TIMEOUT(live.readSessionFile(left, "server_log").count("Client authenticated"), 1, 5000);
        QVERIFY(live.control(left, "fake_agent_disconnect"));
        QTRY_COMPARE_WITH_TIMEOUT(live.readSessionFile(left, "server_log").count("Client disconnected"), 1, 5000);

        // The check runs once a minute.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(live.sessionDir(left)), 75000);
        Json::Value list;
        QVERIFY(client->call("Live.ListLocalSessions", Json::Value(), 7, list));
        QCOMPARE(list["result"].size(), 1u);
        QCOMPARE(QString::fromStdString(list["result"][0]["id"].asString()), kept);
    }
};

int main(int argc, char *argv[])
{
    // The viewer ports lie among the ports the system hands out to connections: in the machine's
    // network, the connections of tests running meanwhile could take some of them.
    if (!PrivateNetwork::enter()) {
        qWarning("Running in the machine's network: a viewer port taken by another program fails a start");
    }
    QCoreApplication app(argc, argv);
    LiveConcurrencyTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_live_concurrency.moc"

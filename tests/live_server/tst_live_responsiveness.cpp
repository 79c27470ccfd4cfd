#include "tests/live_server/live_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int responsivenessDisplayBase = 120;

// Replaces the session's agent log by a FIFO that nobody writes to.
bool replaceLogByFifo(const QString &logPath)
{
    const QByteArray path = QFile::encodeName(logPath);
    return ::unlink(path.constData()) == 0 && ::mkfifo(path.constData(), 0600) == 0;
}

// Lets go of whoever waits in the FIFO, and removes it so that nobody meets it again: a writer comes
// and goes (read-write, so opening never waits), after which a reader sees the end of the file.
void releaseFifo(const QString &logPath)
{
    const QByteArray path = QFile::encodeName(logPath);
    const int writer = ::open(path.constData(), O_RDWR | O_NONBLOCK);
    ::unlink(path.constData());
    if (writer >= 0) {
        ::close(writer);
    }
}

bool answered(const Json::Value &response)
{
    return response.isObject() && response.isMember("result");
}

// The "permissions" of the session in a list answer; empty when it is not listed.
QString listedPermissions(const Json::Value &response, const QString &id)
{
    return answered(response) ? LiveServer::permissionsOf(response["result"], id) : QString();
}

struct FifoRelease
{
    QString path;
    ~FifoRelease() { releaseFifo(path); }
};

} // namespace

// A session that is slow or broken stalls nobody: while a start waits for its agent, while an
// agent's information socket never answers, and while its log is a FIFO, every other call and every
// new connection is answered at once.
class LiveResponsivenessTest : public QObject
{
    Q_OBJECT

private:
    // The slowest answer to "Live.GetVersion" over the given time: on the existing connection every
    // 100 ms, and on a fresh connection (handshake included) every 500 ms; -1 when one got none.
    static qint64 slowestAnswer(LiveServer &live, RpcClient &client, int forMs)
    {
        qint64 slowest = 0;
        QElapsedTimer total;
        total.start();
        for (int round = 0; total.elapsed() < forMs; ++round) {
            QElapsedTimer clock;
            clock.start();
            if (!answered(client.call("Live.GetVersion", Json::Value(), 5000))) {
                return -1;
            }
            slowest = std::max(slowest, clock.elapsed());
            if (round % 5 == 0) {
                clock.restart();
                auto fresh = live.connect();
                if (!fresh || !answered(fresh->call("Live.GetVersion", Json::Value(), 5000))) {
                    return -1;
                }
                slowest = std::max(slowest, clock.elapsed());
            }
            client.idle(100);
        }
        return slowest;
    }

    static QString startSession(RpcClient &client)
    {
        const QString id = RpcClient::newSessionId();
        return answered(client.startSession(id)) ? id : QString();
    }

private slots:
    void callsAreAnsweredDuringASlowStart()
    {
        LiveServer live(responsivenessDisplayBase);
        live.env.setVariable("FAKE_AGENT_MODE", "start-delay=6000");
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto starter = live.connect();
        auto other = live.connect();
        QVERIFY(starter && other);
        starter->sendRequest("Live.Start", RpcClient::startParams(RpcClient::newSessionId(), "xterm", "800x600"), "start");
        starter->idle(500); // the start now holds its session while the agent comes up

        const qint64 slowest = slowestAnswer(live, *other, 4000);
        qInfo("slowest answer during the start: %lld ms", static_cast<long long>(slowest));
        QCOMPARE(starter->pendingResponses(), 0); // all of it happened while the start was waiting
        QVERIFY2(slowest >= 0 && slowest < 500, qPrintable(QString::number(slowest)));
        Json::Value started;
        QVERIFY(starter->waitForResponse("start", started, 30000));
        QVERIFY2(answered(started), started.toStyledString().c_str());
    }

    // A client that goes away while its start waits for the agent holds nobody up, and its session
    // is still made.
    void clientLeavingDuringASlowStart()
    {
        LiveServer live(responsivenessDisplayBase);
        live.env.setVariable("FAKE_AGENT_MODE", "start-delay=3000");
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto starter = live.connect();
        auto other = live.connect();
        QVERIFY(starter && other);
        const QString id = RpcClient::newSessionId();
        starter->sendRequest("Live.Start", RpcClient::startParams(id, "xterm", "800x600"), "start");
        starter->idle(500);
        starter.reset();

        const qint64 slowest = slowestAnswer(live, *other, 2000);
        qInfo("slowest answer after the starter left: %lld ms", static_cast<long long>(slowest));
        QVERIFY2(slowest >= 0 && slowest < 500, qPrintable(QString::number(slowest)));
        QTRY_COMPARE_WITH_TIMEOUT(listedPermissions(other->call("Live.ListLocalSessions", Json::Value()), id),
                                  QString("retry|terminate"), 20000);
    }

    // The session keeps the record it had while its agent does not answer.
    void silentInformationSocket()
    {
        LiveServer live(responsivenessDisplayBase);
        live.env.setVariable("FAKE_AGENT_MODE", "socket");
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto client = live.connect();
        QVERIFY(client);
        const QString id = startSession(*client);
        QVERIFY(!id.isEmpty());
        QVERIFY(live.control(id, "fake_agent_silence"));
        QTRY_VERIFY(!QFile::exists(live.sessionDir(id) + "/fake_agent_silence"));

        const qint64 slowest = slowestAnswer(live, *client, 3000);
        qInfo("slowest answer while the socket is silent: %lld ms", static_cast<long long>(slowest));
        QVERIFY2(slowest >= 0 && slowest < 1000, qPrintable(QString::number(slowest)));
        const Json::Value list = client->call("Live.ListLocalSessions", Json::Value(), 3000);
        QCOMPARE(listedPermissions(list, id), QString("retry|terminate"));
    }

    void logReplacedByAFifo()
    {
        LiveServer live(responsivenessDisplayBase);
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto client = live.connect();
        QVERIFY(client);
        const QString id = startSession(*client);
        QVERIFY(!id.isEmpty());
        const FifoRelease fifo{live.sessionDir(id) + "/server_log"};
        QVERIFY(replaceLogByFifo(fifo.path));

        const qint64 slowest = slowestAnswer(live, *client, 3000);
        qInfo("slowest answer while the log is a FIFO: %lld ms", static_cast<long long>(slowest));
        QVERIFY2(slowest >= 0 && slowest < 1000, qPrintable(QString::number(slowest)));
    }

    // The server finds the FIFO while it loads its sessions: start-up still returns.
    void logIsAFifoAtStartUp()
    {
        LiveServer live(responsivenessDisplayBase);
        QString error;
        QVERIFY2(live.start(error), qPrintable(error));
        auto client = live.connect();
        QVERIFY(client);
        const QString id = startSession(*client);
        QVERIFY(!id.isEmpty());
        client.reset();
        QVERIFY(live.server.stop(SIGTERM)); // the session goes on without its server
        const FifoRelease fifo{live.sessionDir(id) + "/server_log"};
        QVERIFY(replaceLogByFifo(fifo.path));

        QElapsedTimer clock;
        clock.start();
        const LaunchResult launched = live.server.launch(10000);
        QVERIFY2(launched.finished && launched.exitCode == 0,
                 qPrintable(QString("start-up did not return within %1 ms").arg(clock.elapsed())));
        QVERIFY(live.server.waitForFile("server_port"));
        client = live.connect();
        QVERIFY(client);
        const qint64 slowest = slowestAnswer(live, *client, 2000);
        QVERIFY2(slowest >= 0 && slowest < 1000, qPrintable(QString::number(slowest)));
        const Json::Value list = client->call("Live.ListLocalSessions", Json::Value(), 3000);
        QVERIFY2(!listedPermissions(list, id).isEmpty(), list.toStyledString().c_str());
    }
};

QTEST_GUILESS_MAIN(LiveResponsivenessTest)
#include "tst_live_responsiveness.moc"

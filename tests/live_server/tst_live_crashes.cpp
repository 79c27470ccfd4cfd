#include "tests/live_server/live_server.h"
#include "tests/support/private_network.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <functional>

namespace {
// Displays no other test uses (the concurrency test fills 800 to 899 from a network of its own, where
// it cannot see these agents' ports).
constexpr int crashDisplayBase = 920;
constexpr int crashDisplayLimit = 20;
// Sessions kept at most, so that starts always find a display.
constexpr int sessionsKept = 5;
// How long a new server may take to settle what the killed one left.
constexpr int settleMs = 20000;

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A process of the session directories, by what it runs.
struct SessionProcess
{
    qint64 pid;
    QString directory;
    bool isAgent;
};
}

// The server killed (SIGKILL) at random moments of a start, a terminate and an attach, with the
// stand-in launchers of tests/fixtures; then a new server is started, as the next call of a client
// would. After each such restart every listed session has its live agent, its display and its
// application (started once); every live agent belongs to exactly one listed session; no display is
// listed twice; no session directory is left without a listed session; and the interrupted client
// failed, or was handed a session that is listed.
//
// The moments are drawn over the whole call and, more densely, over the server's own few
// milliseconds: right after the session directory appears, after the agent reports its display, after
// it leaves its exit status, after it adds a password. LUMEN_CRASH_ROUNDS sets the rounds of each
// operation (20), LUMEN_CRASH_SEED repeats a run, LUMEN_CRASH_CLIENT=lumen makes the calls with the
// client `lumen local` and restarts the server through it (scripts/crash_rounds.sh runs many).
class LiveCrashesTest : public QObject
{
    Q_OBJECT

private:
    LiveServer live{crashDisplayBase};
    QRandomGenerator random;
    QString sessionsPath;
    // How long each operation takes when nothing interrupts it.
    QHash<QString, int> durationMs;
    const bool realClient = qEnvironmentVariable("LUMEN_CRASH_CLIENT") == "lumen";

    struct Outcome
    {
        int status = -1;
        QString output;
        QString errors;
    };

    QString describe(const QString &what, const Outcome &outcome) const
    {
        return QString("%1: status %2\n%3%4\nserver log:\n%5")
            .arg(what)
            .arg(outcome.status)
            .arg(outcome.output, outcome.errors, live.server.log().right(4000));
    }

    // Kills the server `delayMs` after `trigger` first holds (or after the call has ended, if it never
    // does), and waits for the killed server to be gone.
    void killWhen(const std::function<bool()> &trigger, int delayMs, const std::function<bool()> &callEnded)
    {
        QElapsedTimer sinceTrigger;
        for (;;) {
            if (!sinceTrigger.isValid() && (callEnded() || trigger())) {
                sinceTrigger.start();
            }
            if (sinceTrigger.isValid() && sinceTrigger.elapsed() >= delayMs) {
                break;
            }
            QThread::usleep(500);
        }
        const qint64 pid = live.server.pid();
        if (ServerRunner::isProcessAlive(pid)) {
            ::kill(pid_t(pid), SIGKILL);
            live.server.waitForExit(10000);
        }
    }

    // The client `lumen local` with the arguments; when `trigger` is given, the server is killed
    // during the call (see killWhen).
    Outcome runLumen(const QStringList &arguments, const std::function<bool()> &trigger = {}, int delayMs = 0)
    {
        QProcess client;
        client.setProcessEnvironment(live.env.processEnvironment());
        client.start(TestEnvironment::binary("lumen"), QStringList{"local"} + arguments);
        client.waitForStarted(10000);
        if (trigger) {
            killWhen(trigger, delayMs, [&client] { return client.waitForFinished(0) || client.state() == QProcess::NotRunning; });
        }
        client.waitForFinished(60000);
        Outcome outcome;
        outcome.status = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
        outcome.output = QString::fromUtf8(client.readAllStandardOutput());
        outcome.errors = QString::fromUtf8(client.readAllStandardError());
        return outcome;
    }

    // One call of an operation (start, attach or terminate) as a client makes it, with the server
    // killed during it. With LUMEN_CRASH_CLIENT=lumen the client is `lumen local` itself; otherwise a
    // protocol client connected straight to the server, which saves the two processes of each call
    // (the outcome reads the same: status 0 and the session printed when an answer came).
    Outcome interrupted(const QString &operation, const QString &id, const std::function<bool()> &trigger, int delayMs)
    {
        if (realClient) {
            if (operation == "start") {
                return runLumen({"start", "--no-viewer", "xterm"}, trigger, delayMs);
            }
            const QStringList arguments = operation == "attach" ? QStringList{"attach", "--no-viewer", id}
                                                                : QStringList{"terminate", id};
            return runLumen(arguments, trigger, delayMs);
        }
        Outcome outcome;
        auto client = live.connect();
        if (!client) {
            outcome.errors = "cannot connect to the server";
            return outcome;
        }
        const QString sessionId = operation == "start" ? RpcClient::newSessionId() : id;
        if (operation == "start") {
            client->sendRequest("Live.Start", RpcClient::startParams(sessionId, "xterm", "800x600"), 1);
        } else if (operation == "attach") {
            // What lumen attach asks for: a new password, or the one still waiting.
            const QString permissions = LiveServer::permissionsOf(client->call("Live.ListLocalSessions")["result"], id);
            client->sendRequest(permissions.startsWith("retry") ? "Live.Replay" : "Live.Resume", RpcClient::idParams(id), 1);
        } else {
            client->sendRequest("Live.Terminate", RpcClient::idParams(id), 1);
        }
        Json::Value response;
        bool answered = false;
        killWhen(trigger, delayMs, [&] {
            if (!answered) {
                answered = client->waitForNextResponse(response, 1);
            }
            return answered || !client->isConnected();
        });
        if (!answered) {
            answered = client->waitForNextResponse(response, 1000);
        }
        outcome.status = answered && response.isMember("result") ? 0 : 1;
        if (outcome.status == 0) {
            outcome.output = "session " + sessionId + "\n";
        }
        outcome.errors = QString::fromStdString(response.toStyledString());
        return outcome;
    }

    QStringList sessionDirectories() const
    {
        return QDir(sessionsPath).entryList({"C-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    // The processes working in a session directory: stand-in agents and applications.
    QList<SessionProcess> sessionProcesses() const
    {
        QList<SessionProcess> found;
        const QString prefix = QFileInfo(sessionsPath).canonicalFilePath() + "/";
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            bool isPid = false;
            const qint64 pid = entry.toLongLong(&isPid);
            const QString cwd = QFileInfo("/proc/" + entry + "/cwd").symLinkTarget();
            if (!isPid || !cwd.startsWith(prefix) || !ServerRunner::isProcessAlive(pid)) {
                continue;
            }
            const QString command = readText("/proc/" + entry + "/cmdline");
            if (command.contains("fixtures/start-agent") || command.contains("fixtures/start-app")) {
                found.append({pid, QFileInfo(cwd).fileName(), command.contains("start-agent")});
            }
        }
        return found;
    }

    static bool answers(int port)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        return socket.waitForConnected(1000);
    }

    // Everything that is wrong with the sessions as listed: empty when nothing is.
    QStringList violations(const Json::Value &listed) const
    {
        QStringList wrong;
        QSet<QString> listedDirectories;
        QSet<int> displays;
        const QList<SessionProcess> processes = sessionProcesses();
        for (const Json::Value &record : listed) {
            const QString directory = "C-" + QString::fromStdString(record["id"].asString());
            listedDirectories << directory;
            const QString path = sessionsPath + "/" + directory;
            const int display = readText(path + "/display").toInt();
            if (displays.contains(display)) {
                wrong << QString("display %1 is listed twice").arg(display);
            }
            displays << display;
            const qint64 monitor = readText(path + "/monitor_pid").toLongLong();
            bool agent = false;
            bool application = false;
            for (const SessionProcess &process : processes) {
                agent = agent || (process.directory == directory && process.pid == monitor);
                application = application || (process.directory == directory && !process.isAgent);
            }
            if (!agent) {
                wrong << directory + " is listed without its agent";
            } else if (!answers(41000 + display)) {
                wrong << directory + " is listed without its display";
            }
            const int starts = readText(path + "/app_log").count("started ");
            if (!application || starts != 1) {
                wrong << QString("%1 is listed with %2 application starts (running: %3)")
                             .arg(directory)
                             .arg(starts)
                             .arg(application);
            }
        }
        QHash<QString, int> agents;
        for (const SessionProcess &process : processes) {
            agents[process.directory] += process.isAgent ? 1 : 0;
        }
        for (auto agent = agents.constBegin(); agent != agents.constEnd(); ++agent) {
            if (agent.value() > 1 || (agent.value() == 1 && !listedDirectories.contains(agent.key()))) {
                wrong << QString("%1 agents run in %2, which is %3")
                             .arg(agent.value())
                             .arg(agent.key(), listedDirectories.contains(agent.key()) ? "listed" : "not listed");
            }
        }
        for (const QString &directory : sessionDirectories()) {
            if (!listedDirectories.contains(directory)) {
                wrong << directory + " is left without a listed session";
            }
        }
        return wrong;
    }

    // After a kill: the next call starts a new server; then whatever it found must settle into a
    // sound state. Hands out the sessions listed then.
    Json::Value restartAndSettle()
    {
        if (realClient) {
            const Outcome list = runLumen({"list", "--json"});
            if (list.status != 0) {
                QTest::qFail(qPrintable(describe("the list after the restart", list)), __FILE__, __LINE__);
                return Json::Value();
            }
        } else if (live.server.launch().exitCode != 0) {
            QTest::qFail("the next server did not start", __FILE__, __LINE__);
            return Json::Value();
        }
        auto client = live.connect();
        if (!client) {
            QTest::qFail("cannot connect to the new server", __FILE__, __LINE__);
            return Json::Value();
        }
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const Json::Value listed = client->call("Live.ListLocalSessions")["result"];
            const QStringList wrong = violations(listed);
            if (wrong.isEmpty()) {
                return listed;
            }
            if (timer.elapsed() > settleMs) {
                QTest::qFail(qPrintable(wrong.join('\n') + "\nserver log:\n" + live.server.log().right(4000)),
                             __FILE__, __LINE__);
                return Json::Value();
            }
            QTest::qWait(100);
        }
    }

    static bool lists(const Json::Value &listed, const QString &id)
    {
        return RpcClient::idsOf(listed).contains(id);
    }

    QString newDirectoryThan(const QStringList &before) const
    {
        for (const QString &directory : sessionDirectories()) {
            if (!before.contains(directory)) {
                return directory;
            }
        }
        return QString();
    }

    int drawDelay(const QString &operation) { return int(random.bounded(durationMs.value(operation) * 12 / 10 + 1)); }

    // Kills the server during one "start", at a moment drawn over the whole call, or within a few
    // milliseconds after the directory appears or after the agent reports its display. Returns what
    // went wrong, or nothing.
    QString interruptStart(int round, Json::Value &listed)
    {
        const QStringList before = sessionDirectories();
        std::function<bool()> trigger = [] { return true; };
        int delayMs = drawDelay("start");
        if (round % 3 == 1) {
            trigger = [this, before] { return !newDirectoryThan(before).isEmpty(); };
            delayMs = int(random.bounded(40));
        } else if (round % 3 == 2) {
            trigger = [this, before] {
                const QString directory = newDirectoryThan(before);
                return !directory.isEmpty()
                    && readText(sessionsPath + "/" + directory + "/server_log").contains("RDP initialized");
            };
            delayMs = int(random.bounded(10));
        }
        const Outcome start = interrupted("start", QString(), trigger, delayMs);
        const QString id = QRegularExpression("session +([0-9a-f]{32})").match(start.output).captured(1);
        listed = restartAndSettle();
        // Printed means listed; a start that failed may or may not have left a session.
        const bool sound = start.status != 0 || (!id.isEmpty() && lists(listed, id));
        return sound ? QString() : describe(QString("start, round %1, killed %2 ms after the trigger").arg(round).arg(delayMs), start);
    }

    QString interruptTerminate(int round, const QString &id, Json::Value &listed)
    {
        std::function<bool()> trigger = [] { return true; };
        int delayMs = drawDelay("terminate");
        if (round % 2 == 1) {
            const QString exitFile = sessionsPath + "/C-" + id + "/server_exit";
            trigger = [exitFile] { return QFileInfo::exists(exitFile); };
            delayMs = int(random.bounded(10));
        }
        const Outcome terminate = interrupted("terminate", id, trigger, delayMs);
        listed = restartAndSettle();
        const bool sound = terminate.status != 0 || !lists(listed, id);
        return sound ? QString() : describe(QString("terminate, round %1").arg(round), terminate);
    }

    QString interruptAttach(int round, const QString &id, Json::Value &listed)
    {
        std::function<bool()> trigger = [] { return true; };
        int delayMs = drawDelay("attach");
        if (round % 2 == 1) {
            const QString log = sessionsPath + "/C-" + id + "/server_log";
            const int before = int(readText(log).count("Added new password"));
            trigger = [log, before] { return readText(log).count("Added new password") > before; };
            delayMs = int(random.bounded(5));
        }
        const Outcome attach = interrupted("attach", id, trigger, delayMs);
        listed = restartAndSettle();
        const bool sound = attach.status != 0 || (attach.output.contains(id) && lists(listed, id));
        return sound ? QString() : describe(QString("attach, round %1").arg(round), attach);
    }

    // Times each operation once, uninterrupted, so that the drawn moments cover it.
    bool measure()
    {
        const auto never = [] { return false; };
        QElapsedTimer timer;
        timer.start();
        const Outcome start = interrupted("start", QString(), never, 0);
        durationMs["start"] = int(timer.restart());
        const QString id = QRegularExpression("session +([0-9a-f]{32})").match(start.output).captured(1);
        if (start.status != 0 || id.isEmpty()) {
            qWarning() << describe("start", start);
            return false;
        }
        restartAndSettle();
        timer.restart();
        const Outcome attach = interrupted("attach", id, never, 0);
        durationMs["attach"] = int(timer.restart());
        restartAndSettle();
        timer.restart();
        const Outcome terminate = interrupted("terminate", id, never, 0);
        durationMs["terminate"] = int(timer.restart());
        qInfo() << "uninterrupted:" << durationMs;
        return attach.status == 0 && terminate.status == 0;
    }

private slots:
    void initTestCase()
    {
        live.env.setSetting("DisplayLimit", crashDisplayLimit);
        live.env.setVariable("FAKE_APP_MODE", "stay");
        QVERIFY(live.env.createUserPath());
        sessionsPath = live.env.userFile("sessions");
        if (!realClient) {
            QVERIFY(live.server.launch().exitCode == 0);
        }
        const quint32 seed = qEnvironmentVariableIsSet("LUMEN_CRASH_SEED") ? qEnvironmentVariableIntValue("LUMEN_CRASH_SEED")
                                                                          : QRandomGenerator::global()->generate();
        qInfo() << "LUMEN_CRASH_SEED" << seed;
        random.seed(seed);
    }

    void cleanupTestCase()
    {
        // What the new servers found, to show which moments the kills hit.
        const QString log = live.server.log();
        qInfo() << "starts completed:" << log.count("whose start the previous server left unfinished")
                << "half-made sessions ended:" << log.count("which was never completed")
                << "directories removed at once:" << log.count("a session left half-made or half-removed");
        if (auto client = live.connect()) {
            for (const QString &id : RpcClient::idsOf(client->call("Live.ListLocalSessions")["result"])) {
                client->call("Live.Terminate", RpcClient::idParams(id));
            }
        }
        live.server.stop(SIGTERM);
        for (const SessionProcess &process : sessionProcesses()) {
            ::kill(pid_t(process.pid), SIGKILL);
        }
    }

    void killsDuringStartTerminateAndAttach()
    {
        QVERIFY(measure());
        const int rounds = qEnvironmentVariableIsSet("LUMEN_CRASH_ROUNDS") ? qEnvironmentVariableIntValue("LUMEN_CRASH_ROUNDS")
                                                                           : 20;
        Json::Value listed = restartAndSettle();
        QVERIFY(!QTest::currentTestFailed());
        for (int round = 0; round < rounds; ++round) {
            // A start that gets through leaves a session; a few are kept for the other two.
            auto client = live.connect();
            QVERIFY(client);
            while (listed.size() >= unsigned(sessionsKept)) {
                QVERIFY(client->call("Live.Terminate", RpcClient::idParams(QString::fromStdString(listed[0]["id"].asString())))
                            .isMember("result"));
                listed = client->call("Live.ListLocalSessions")["result"];
            }
            QString wrong = interruptStart(round, listed);
            QVERIFY2(!QTest::currentTestFailed() && wrong.isEmpty(), qPrintable(wrong));

            for (const bool ending : {false, true}) {
                if (listed.size() == 0) {
                    client = live.connect();
                    QVERIFY(client && client->startSession(RpcClient::newSessionId()).isMember("result"));
                    listed = client->call("Live.ListLocalSessions")["result"];
                }
                const QString id = QString::fromStdString(listed[ending ? listed.size() - 1 : 0]["id"].asString());
                wrong = ending ? interruptTerminate(round, id, listed) : interruptAttach(round, id, listed);
                QVERIFY2(!QTest::currentTestFailed() && wrong.isEmpty(), qPrintable(wrong));
            }
        }
    }
};

int main(int argc, char *argv[])
{
    // Of its own, so that no other program's connection takes a viewer port meanwhile.
    if (!PrivateNetwork::enter()) {
        qWarning("Running in the machine's network: a viewer port taken by another program fails a start");
    }
    QCoreApplication app(argc, argv);
    LiveCrashesTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_live_crashes.moc"

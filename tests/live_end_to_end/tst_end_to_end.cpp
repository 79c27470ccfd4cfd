// End to end, the way a user works: a remote client runs lumen_sci and speaks JSON-RPC through it,
// the real lumen_server starts a session with the reference launchers (a real X server and xterm),
// and a VNC client connects to the port with the password that the server handed out.

#include "tests/support/rfb_viewer.h"
#include "tests/support/relay_process.h"
#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <json/value.h>
#include <json/writer.h>

#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Displays of their own, so that no other test's X servers get in the way.
constexpr int DisplayBase = 190;
constexpr int DisplayLimit = 10;
constexpr int FirstPort = 41000;
const QString Command = QStringLiteral("xterm");
const QString Geometry = QStringLiteral("800x600");
constexpr int Width = 800;
constexpr int Height = 600;

QByteArray compact(const Json::Value &value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return QByteArray::fromStdString(Json::writeString(builder, value));
}

QString show(const Json::Value &value)
{
    return QString::fromUtf8(compact(value));
}

QString text(const Json::Value &value)
{
    return value.isString() ? QString::fromStdString(value.asString()) : QString();
}

bool isSuccessWithNull(const Json::Value &response)
{
    return response.isObject() && response.isMember("result") && response["result"].isNull()
        && !response.isMember("error");
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// --- processes ---------------------------------------------------------------------------------

QByteArray readProcFile(qint64 pid, const QString &name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isAlive(qint64 pid)
{
    return ServerRunner::isProcessAlive(pid);
}

QString lockFile(int display)
{
    return QStringLiteral("/tmp/.X%1-lock").arg(display);
}

// The processes of one session, pid to program name: those working in the session directory, those
// marked as the session's applications, those that use its display, and the display's X server.
QMap<qint64, QString> sessionProcesses(const QString &directory, int display)
{
    const QByteArray marker = "LUMEN_SESSION=" + directory.toUtf8();
    const QByteArray displayEntry = "DISPLAY=:" + QByteArray::number(display);
    QMap<qint64, QString> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == ::getpid() || !isAlive(pid)) {
            continue;
        }
        const QString cwd = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
        const QList<QByteArray> environment = readProcFile(pid, QStringLiteral("environ")).split('\0');
        if (cwd == directory || environment.contains(marker) || environment.contains(displayEntry)) {
            found.insert(pid, QString::fromUtf8(readProcFile(pid, QStringLiteral("comm")).trimmed()));
        }
    }
    const qint64 xServer = readText(lockFile(display)).trimmed().toLongLong();
    if (isAlive(xServer)) {
        found.insert(xServer, QString::fromUtf8(readProcFile(xServer, QStringLiteral("comm")).trimmed()));
    }
    return found;
}

QString describeProcesses(const QMap<qint64, QString> &processes)
{
    QStringList items;
    for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
        items << QStringLiteral("%1 (%2)").arg(it.value()).arg(it.key());
    }
    return items.join(QStringLiteral(", "));
}

// The files that an X server and the agent keep in /tmp for a display.
QStringList displayFilesInTmp(int display)
{
    QStringList left;
    for (const QString &path : {lockFile(display), QStringLiteral("/tmp/.X11-unix/X%1").arg(display),
                                QStringLiteral("/tmp/Xrdp_%1.sock").arg(display)}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            left << path;
        }
    }
    return left;
}

bool portAcceptsConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(2000);
}

// --- the client's side -------------------------------------------------------------------------

// What a remote client runs: lumen_sci, with JSON-RPC requests and responses in NetString frames on
// its standard input and output.
class RelayClient
{
public:
    explicit RelayClient(const TestEnvironment &environment)
        : environment(environment)
    {
    }

    bool start()
    {
        return relay.start(TestEnvironment::binary(QStringLiteral("lumen_sci")), {},
                           environment.processEnvironment());
    }

    // Sends one request and returns its response, or null when none came in time. Notifications
    // that arrive meanwhile are counted and passed over.
    Json::Value call(const QString &method, const Json::Value &params = Json::Value(), int timeoutMs = 30000)
    {
        const int id = nextId++;
        relay.sendFrame(compact(RpcClient::makeRequest(method, params, id)) + '\n');
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            QByteArray payload;
            if (!relay.readFrame(payload, int(qMax<qint64>(1, deadline.remainingTime())))) {
                return Json::Value();
            }
            const Json::Value message = RpcClient::parse(payload);
            if (message.isObject() && message["id"].isInt() && message["id"].asInt() == id) {
                return message;
            }
            if (message.isObject() && !message.isMember("id") && message["method"] == "UpdateSessions") {
                ++updates;
            } else {
                strays << payload;
            }
        }
    }

    // The listed session with this id; null when the list does not hold it.
    Json::Value listedSession(const QString &id)
    {
        const Json::Value response = call(QStringLiteral("Live.ListSessions"));
        lastList = response;
        for (const Json::Value &session : response["result"]) {
            if (session.isObject() && text(session["id"]) == id) {
                return session;
            }
        }
        return Json::Value();
    }

    // Asks for the list until the session offers these actions (the server refreshes its sessions
    // every 400 ms); returns the last record seen.
    Json::Value waitForPermissions(const QString &id, const QString &permissions, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        Json::Value session;
        while (true) {
            session = listedSession(id);
            if (text(session["permissions"]) == permissions || deadline.hasExpired()) {
                return session;
            }
            QThread::msleep(200);
        }
    }

    RelayProcess relay;
    int updates = 0;
    QList<QByteArray> strays;   // frames that were neither the awaited response nor a notification
    Json::Value lastList;

private:
    const TestEnvironment &environment;
    int nextId = 1;
};

// A VNC client that logs in with the password; empty when it got in and received a whole frame of
// the session's size, otherwise what went wrong.
QString viewSession(RfbViewer &viewer, quint16 port, const QString &password)
{
    if (!viewer.connectToPort(port)) {
        return viewer.error();
    }
    const RfbViewer::Handshake handshake = viewer.authenticate(password);
    if (!handshake.accepted) {
        return QStringLiteral("refused (%1): %2").arg(handshake.failureReason, viewer.error());
    }
    if (handshake.width != Width || handshake.height != Height) {
        return QStringLiteral("the desktop is %1x%2").arg(handshake.width).arg(handshake.height);
    }
    if (!viewer.readFramebuffer(Width, Height)) {
        return QStringLiteral("no whole frame: %1").arg(viewer.error());
    }
    return QString();
}

// One user's world: a private home and settings, the real launchers first on the PATH, and a server
// that lumen_sci starts on demand. Whatever a failed test leaves running ends with it.
class World
{
public:
    // Sanitizer reports of the server and the relay, which run detached or with their output
    // taken, go to files that start with `reportPrefix`.
    explicit World(const QString &reportPrefix)
    {
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                env.setVariable(QLatin1String(name),
                                qEnvironmentVariable(name) + QStringLiteral(":log_path=") + reportPrefix);
            }
        }
        env.prependPath(QStringLiteral(LUMEN_BIN_DIR));
        env.setSetting(QStringLiteral("DisplayBase"), DisplayBase);
        env.setSetting(QStringLiteral("DisplayLimit"), DisplayLimit);
        env.setSetting(QStringLiteral("LogLevel"), QStringLiteral("Debug1"));
    }

    ~World()
    {
        clients.clear();
        endLeftoverSessions();
    }

    RelayClient &addClient()
    {
        clients.push_back(std::make_unique<RelayClient>(env));
        return *clients.back();
    }

    QString sessionsDir() const { return env.userFile(QStringLiteral("sessions")); }
    QString sessionDir(const QString &id) const { return sessionsDir() + QStringLiteral("/C-") + id; }
    QString sessionFile(const QString &id, const QString &name) const
    {
        return readText(sessionDir(id) + QLatin1Char('/') + name);
    }

    QString diagnostics()
    {
        QString report = QStringLiteral("--- server_log\n") + server.log();
        for (const auto &client : clients) {
            report += QStringLiteral("--- lumen_sci standard error\n")
                + QString::fromLocal8Bit(client->relay.standardError());
            for (const QByteArray &stray : std::as_const(client->strays)) {
                report += QStringLiteral("--- unexpected frame: ") + QString::fromUtf8(stray);
            }
        }
        const QStringList sessions = QDir(sessionsDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &session : sessions) {
            for (const QString &name : {QStringLiteral("server_log"), QStringLiteral("xserver_log"),
                                        QStringLiteral("app_log")}) {
                report += QStringLiteral("--- %1/%2\n").arg(session, name)
                    + readText(sessionsDir() + QLatin1Char('/') + session + QLatin1Char('/') + name);
            }
        }
        return report;
    }

    TestEnvironment env;
    ServerRunner server{env};

private:
    // Ends the sessions that are still there the way the server does it, and kills what is left.
    void endLeftoverSessions()
    {
        const QStringList sessions = QDir(sessionsDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &session : sessions) {
            const QString directory = sessionsDir() + QLatin1Char('/') + session;
            const int display = readText(directory + QStringLiteral("/display")).toInt();
            const qint64 agent = readText(directory + QStringLiteral("/server_pid")).toLongLong();
            const qint64 launcher = readText(directory + QStringLiteral("/monitor_pid")).toLongLong();
            if (agent > 0) {
                ::kill(pid_t(agent), SIGTERM);
            }
            QDeadlineTimer deadline(10000);
            while (isAlive(launcher) && !deadline.hasExpired()) {
                QThread::msleep(50);
            }
            if (display > 0) {
                const QMap<qint64, QString> left = sessionProcesses(directory, display);
                for (auto it = left.cbegin(); it != left.cend(); ++it) {
                    ::kill(pid_t(it.key()), SIGKILL);
                }
            }
        }
    }

    std::vector<std::unique_ptr<RelayClient>> clients;
};

struct StartedSession
{
    QString id;
    QString password;
    quint16 port = 0;
    int display = -1;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(reports.isValid());
        world = std::make_unique<World>(reports.filePath(QStringLiteral("sanitizer")));
        QVERIFY(world->env.isValid());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << world->diagnostics();
        }
        world.reset();  // stops the server, which writes its sanitizer report (if any) as it exits
        const QStringList found = QDir(reports.path()).entryList(QDir::Files);
        for (const QString &name : found) {
            qWarning().noquote() << "--- " + name + "\n" + readText(reports.filePath(name));
            QFile::remove(reports.filePath(name));
        }
        QVERIFY2(found.isEmpty(), "the server or the relay reported a fault");
    }

    // Start, view, list, suspend, resume with a fresh password, terminate: all through lumen_sci.
    void sessionLifecycleThroughTheRelay()
    {
        RelayClient &client = world->addClient();
        QVERIFY(client.start());
        StartedSession session;
        startSession(client, session);
        if (QTest::currentTestFailed()) {
            return;
        }
        const QString directory = world->sessionDir(session.id);

        // start-app ran the command on the session's display.
        QDeadlineTimer appDeadline(15000);
        QMap<qint64, QString> processes;
        while (!(processes = sessionProcesses(directory, session.display)).values().contains(Command)
               && !appDeadline.hasExpired()) {
            QThread::msleep(100);
        }
        QVERIFY2(processes.values().contains(Command), qPrintable(describeProcesses(processes)));

        RfbViewer first;
        QString problem = viewSession(first, session.port, session.password);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        Json::Value listed = client.waitForPermissions(session.id, QStringLiteral("disconnect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("disconnect|terminate"), qPrintable(show(client.lastList)));
        QCOMPARE(text(listed["name"]), Command);
        QCOMPARE(text(listed["windowMode"]), QStringLiteral("desktop"));
        QVERIFY(!text(listed["started"]).isEmpty());
        QVERIFY(!text(listed["lastConnect"]).isEmpty());

        // Suspend: the agent closes the viewer's connection.
        const Json::Value suspended = client.call(QStringLiteral("Live.Suspend"), RpcClient::idParams(session.id));
        QVERIFY2(isSuccessWithNull(suspended), qPrintable(show(suspended)));
        QVERIFY2(first.waitForClosed(10000), "the viewer is still connected after Live.Suspend");
        listed = client.waitForPermissions(session.id, QStringLiteral("connect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("connect|terminate"), qPrintable(show(client.lastList)));

        // Resume hands out a new password; the one used before is gone.
        const Json::Value resumed = client.call(QStringLiteral("Live.Resume"), RpcClient::idParams(session.id), 30000);
        const Json::Value &resumeResult = resumed["result"];
        QVERIFY2(resumeResult.isObject(), qPrintable(show(resumed)));
        const QString newPassword = text(resumeResult["password"]);
        QVERIFY(!newPassword.isEmpty());
        QVERIFY(newPassword != session.password);
        QCOMPARE(resumeResult["port"].asInt(), int(session.port));
        QCOMPARE(text(resumeResult["geometry"]), Geometry);
        QCOMPARE(text(resumeResult["windowMode"]), QStringLiteral("desktop"));

        RfbViewer stale;
        QVERIFY2(stale.connectToPort(session.port), qPrintable(stale.error()));
        const RfbViewer::Handshake refused = stale.authenticate(session.password);
        QVERIFY(!refused.accepted);
        QCOMPARE(refused.failureReason, QStringLiteral("Authentication failed"));

        RfbViewer second;
        problem = viewSession(second, session.port, newPassword);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        listed = client.waitForPermissions(session.id, QStringLiteral("disconnect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("disconnect|terminate"), qPrintable(show(client.lastList)));

        // Terminate ends every process of the session and leaves nothing behind.
        processes = sessionProcesses(directory, session.display);
        const qint64 launcher = world->sessionFile(session.id, QStringLiteral("monitor_pid")).toLongLong();
        const qint64 xServer = readText(lockFile(session.display)).trimmed().toLongLong();
        QVERIFY2(processes.contains(launcher), qPrintable(describeProcesses(processes)));
        QVERIFY2(processes.contains(xServer), qPrintable(describeProcesses(processes)));
        QVERIFY2(processes.values().contains(Command), qPrintable(describeProcesses(processes)));

        QElapsedTimer timer;
        timer.start();
        const Json::Value terminated = client.call(QStringLiteral("Live.Terminate"), RpcClient::idParams(session.id), 30000);
        QVERIFY2(isSuccessWithNull(terminated), qPrintable(show(terminated)));
        qInfo("Live.Terminate took %lld ms", timer.elapsed());
        QVERIFY2(!QFileInfo::exists(directory), "the session directory is still there");
        QVERIFY2(second.waitForClosed(5000), "the viewer is still connected after Live.Terminate");
        expectSessionGone(processes, directory, session);
        QVERIFY(client.listedSession(session.id).isNull());
        QVERIFY2(client.lastList.isMember("result"), qPrintable(show(client.lastList)));

        client.relay.closeInput();
        int status = -1;
        QVERIFY(client.relay.waitForExit(status));
        QCOMPARE(status, 0);
        QVERIFY2(client.strays.isEmpty(), client.strays.value(0).constData());
    }

    // The session runs on without its server; the next lumen_sci starts a new server that finds it.
    void sessionOutlivesAKilledServer()
    {
        RelayClient &first = world->addClient();
        QVERIFY(first.start());
        StartedSession session;
        startSession(first, session);
        if (QTest::currentTestFailed()) {
            return;
        }
        const QString directory = world->sessionDir(session.id);
        const qint64 launcher = world->sessionFile(session.id, QStringLiteral("monitor_pid")).toLongLong();

        RfbViewer viewer;
        QString problem = viewSession(viewer, session.port, session.password);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        Json::Value listed = first.waitForPermissions(session.id, QStringLiteral("disconnect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("disconnect|terminate"), qPrintable(show(first.lastList)));

        const qint64 killedServer = world->server.pid();
        QVERIFY(killedServer > 0);
        QCOMPARE(::kill(pid_t(killedServer), SIGKILL), 0);
        QVERIFY(world->server.waitForExit(10000));
        int status = -1;
        QVERIFY2(first.relay.waitForExit(status, 10000), "lumen_sci went on after its server was gone");
        QCOMPARE(status, 0);

        // Meanwhile the session and its viewer go on.
        QVERIFY(isAlive(launcher));
        QVERIFY2(viewer.readFramebuffer(Width, Height), qPrintable(viewer.error()));

        RelayClient &second = world->addClient();
        QVERIFY(second.start());
        listed = second.waitForPermissions(session.id, QStringLiteral("disconnect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("disconnect|terminate"), qPrintable(show(second.lastList)));
        QCOMPARE(text(listed["name"]), Command);
        const qint64 newServer = world->server.pid();
        QVERIFY(newServer > 0 && newServer != killedServer);
        QVERIFY(isAlive(newServer));

        // The new server steers the session it found.
        const Json::Value suspended = second.call(QStringLiteral("Live.Suspend"), RpcClient::idParams(session.id));
        QVERIFY2(isSuccessWithNull(suspended), qPrintable(show(suspended)));
        QVERIFY2(viewer.waitForClosed(10000), "the viewer is still connected after Live.Suspend");
        listed = second.waitForPermissions(session.id, QStringLiteral("connect|terminate"));
        QVERIFY2(text(listed["permissions"]) == QStringLiteral("connect|terminate"), qPrintable(show(second.lastList)));

        const Json::Value resumed = second.call(QStringLiteral("Live.Resume"), RpcClient::idParams(session.id), 30000);
        QVERIFY2(resumed["result"].isObject(), qPrintable(show(resumed)));
        const QString newPassword = text(resumed["result"]["password"]);
        QVERIFY(!newPassword.isEmpty() && newPassword != session.password);
        QCOMPARE(resumed["result"]["port"].asInt(), int(session.port));
        QCOMPARE(text(resumed["result"]["geometry"]), Geometry);

        RfbViewer again;
        problem = viewSession(again, session.port, newPassword);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        const QMap<qint64, QString> processes = sessionProcesses(directory, session.display);
        const Json::Value terminated = second.call(QStringLiteral("Live.Terminate"), RpcClient::idParams(session.id), 30000);
        QVERIFY2(isSuccessWithNull(terminated), qPrintable(show(terminated)));
        QVERIFY2(!QFileInfo::exists(directory), "the session directory is still there");
        expectSessionGone(processes, directory, session);
    }

private:
    // "Live.Start" with a new id, xterm and 800x600, and the checks of its answer.
    void startSession(RelayClient &client, StartedSession &session)
    {
        session.id = RpcClient::newSessionId();
        QElapsedTimer timer;
        timer.start();
        const Json::Value response =
            client.call(QStringLiteral("Live.Start"), RpcClient::startParams(session.id, Command, Geometry), 60000);
        qInfo("Live.Start took %lld ms", timer.elapsed());
        const Json::Value &result = response["result"];
        QVERIFY2(result.isObject(), qPrintable(show(response)));
        QCOMPARE(text(result["geometry"]), Geometry);
        session.password = text(result["password"]);
        QVERIFY(!session.password.isEmpty());
        QVERIFY(result["port"].isInt());
        const int port = result["port"].asInt();
        QVERIFY2(port >= FirstPort + DisplayBase && port < FirstPort + DisplayBase + DisplayLimit,
                 qPrintable(QString::number(port)));
        session.port = quint16(port);
        session.display = port - FirstPort;
        QCOMPARE(world->sessionFile(session.id, QStringLiteral("display")).toInt(), session.display);
    }

    // After the session ended: none of its processes, nothing of its display in /tmp, no port.
    void expectSessionGone(const QMap<qint64, QString> &processesBefore, const QString &directory,
                           const StartedSession &session)
    {
        QMap<qint64, QString> survivors;
        QDeadlineTimer deadline(5000);
        for (;;) {
            survivors = sessionProcesses(directory, session.display);
            for (auto it = processesBefore.cbegin(); it != processesBefore.cend(); ++it) {
                if (isAlive(it.key())) {
                    survivors.insert(it.key(), it.value());
                }
            }
            if (survivors.isEmpty() || deadline.hasExpired()) {
                break;
            }
            QThread::msleep(100);
        }
        QVERIFY2(survivors.isEmpty(), qPrintable(QStringLiteral("still running: ") + describeProcesses(survivors)));
        const QStringList left = displayFilesInTmp(session.display);
        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("left in /tmp: ") + left.join(QStringLiteral(", "))));
        QVERIFY2(!portAcceptsConnections(session.port), "the session's port still accepts connections");
    }

    QTemporaryDir reports;
    std::unique_ptr<World> world;
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"

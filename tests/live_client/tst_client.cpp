// lumen as a user runs it from another machine: through a private OpenSSH server on loopback to the
// real relay, server and reference launchers, with TigerVNC's vncviewer on an Xvfb display. The
// test functions walk one session's life in order; the last one runs two hosts of a cluster in
// network namespaces.

#include "private_sshd.h"
#include "xvfb_display.h"

#include "tests/support/headless_browser.h"
#include "tests/support/network_namespaces.h"
#include "tests/support/polling.h"
#include "tests/support/relay_process.h"
#include "tests/support/rfb_viewer.h"
#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <json/writer.h>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

// Displays of their own, so that no other test's X servers get in the way.
constexpr int DisplayBase = 320;
constexpr int DisplayLimit = 10;
constexpr int ClusterDisplayBase = 340;
// The session paints its desktop in a colour nothing else on the screen has.
const QColor DesktopColour(0x3c, 0x8c, 0x5a);
const QColor ClusterDesktopColour(0x5a, 0x3c, 0x8c);
// Most of an 800x600 desktop shows the colour; a closed viewer shows none of it.
constexpr int DesktopPixels = 100000;
constexpr int ClusterSshPort = 2222;
constexpr int BroadcastPort = 47131;

QString desktopCommand(const QColor &colour)
{
    return QStringLiteral("xsetroot -solid '%1'; exec xterm -geometry 60x15+20+20").arg(colour.name());
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// Every process whose command line holds the text, as "pid: command line".
QStringList commandLinesWith(const QByteArray &text)
{
    QStringList found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray commandLine = file.readAll();
            if (commandLine.contains(text)) {
                found << entry + QStringLiteral(": ") + QString::fromLocal8Bit(commandLine.replace('\0', ' '));
            }
        }
    }
    return found;
}

// The addresses on which the machine listens on the TCP port, as the kernel writes them
// (0100007F is 127.0.0.1, 00000000 and 32 zeros any address).
QStringList listeningAddresses(int port)
{
    const QByteArray local = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    QStringList addresses;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QString::fromLatin1(table)};
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() > 3 && fields.at(1).endsWith(local) && fields.at(3) == "0A") {
                    addresses << QString::fromLatin1(fields.at(1).left(fields.at(1).indexOf(':')));
                }
            }
        }
    }
    return addresses;
}

// An executable shell script.
bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write("#!/bin/sh\n" + body) < 0) {
        return false;
    }
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Whether something still answers at the port of a page's address.
bool pageIsServed(const QString &address)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, quint16(QUrl(address).port()));
    return probe.waitForConnected(2000);
}

// Regular files under the folder that hold the text.
QStringList filesWith(const QString &folder, const QByteArray &text)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text)) {
            found << file.fileName();
        }
    }
    return found;
}

// One run of lumen, in the background or to its end.
class Lumen
{
public:
    Lumen(const QStringList &launcher, const QProcessEnvironment &environment, const QStringList &arguments)
    {
        QStringList command = launcher;
        command << TestEnvironment::binary(QStringLiteral("lumen")) << arguments;
        process.setProcessEnvironment(environment);
        process.start(command.first(), command.mid(1));
    }

    ~Lumen()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool finish(int timeoutMs = 90000)
    {
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs)) {
            return false;
        }
        collect();
        return process.exitStatus() == QProcess::NormalExit;
    }

    bool waitFor(const QString &text, bool inErrors, int timeoutMs)
    {
        return waitFor(QRegularExpression(QRegularExpression::escape(text)), inErrors, timeoutMs);
    }

    bool waitFor(const QRegularExpression &pattern, bool inErrors, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            collect();
            if (pattern.match(inErrors ? errors : output).hasMatch()) {
                return true;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
                return false;
            }
            process.waitForReadyRead(100);
        }
    }

    // The viewer that this lumen runs (a child process named vncviewer), 0 while there is none.
    qint64 viewer() const
    {
        const QString parent = QString::number(process.processId());
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &entry : entries) {
            // "pid (name) state ppid ...": the name may hold spaces, the last ')' ends it.
            const QString stat = readText(QStringLiteral("/proc/%1/stat").arg(entry));
            const QStringList fields = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
            if (fields.size() > 1 && fields[1] == parent && stat.contains(QLatin1String("vncviewer"))) {
                return entry.toLongLong();
            }
        }
        return 0;
    }

    int status() const { return process.exitCode(); }
    QString describe()
    {
        collect();
        return QStringLiteral("status %1\n--- standard output\n%2\n--- standard error\n%3")
            .arg(process.exitCode())
            .arg(output, errors);
    }

    QProcess process;
    QString output;
    QString errors;

private:
    void collect()
    {
        output += QString::fromLocal8Bit(process.readAllStandardOutput());
        errors += QString::fromLocal8Bit(process.readAllStandardError());
    }
};

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir keys;
    QTemporaryDir reports;
    QTemporaryDir launchers; // first on the server's PATH: a test may put a start-agent of its own here
    TestEnvironment env;
    std::unique_ptr<ServerRunner> server;
    PrivateSshd sshd;
    quint16 sshPort = 0;
    XvfbDisplay display;
    HeadlessBrowser browser; // started at once: it takes a while, and is needed late
    QString sessionId; // the session that the flow follows from start to terminate

    QString host() const { return PrivateSshd::loginName() + QStringLiteral("@127.0.0.1"); }
    QString ssh() const { return PrivateSshd::sshCommand(keys.path()); }
    QString sshToHost() const { return ssh() + QStringLiteral(" -p %1").arg(sshPort); }

    QProcessEnvironment clientEnvironment(const TestEnvironment &world) const
    {
        QProcessEnvironment environment = world.processEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display.name());
        environment.remove(QStringLiteral("XAUTHORITY"));
        return environment;
    }

    // lumen --ssh=SSH HOST ARGUMENTS..., to its end.
    std::unique_ptr<Lumen> lumen(const QStringList &arguments, bool wait = true,
                                 const QProcessEnvironment &environment = QProcessEnvironment())
    {
        auto run = std::make_unique<Lumen>(QStringList(), environment.isEmpty() ? clientEnvironment(env) : environment,
                                           QStringList{QStringLiteral("--ssh=") + sshToHost(), host()} + arguments);
        if (wait && !run->finish()) {
            qWarning("lumen %s did not finish", qPrintable(arguments.join(QLatin1Char(' '))));
        }
        return run;
    }

    QString sessionFolder(const TestEnvironment &world, const QString &id) const
    {
        return world.userFile(QStringLiteral("sessions/C-") + id);
    }

    // The passwords that viewers used to get into the session, in order.
    QStringList usedPasswords(const QString &id) const
    {
        static const QRegularExpression used(QStringLiteral("Client authenticated from .* with password '([^']+)'"));
        QStringList passwords;
        auto matches = used.globalMatch(readText(sessionFolder(env, id) + QStringLiteral("/server_log")));
        while (matches.hasNext()) {
            passwords << matches.next().captured(1);
        }
        return passwords;
    }

    bool desktopShows(const QColor &colour, const QString &name)
    {
        const QString saveTo = qEnvironmentVariable("LUMEN_SCREENSHOT_DIR");
        return Polling::waitUntil([&] {
            const QImage shot = display.screenshot(saveTo.isEmpty() ? QString() : saveTo + QLatin1Char('/') + name);
            return XvfbDisplay::pixelsOf(shot, colour) >= DesktopPixels;
        }, 30000);
    }

    bool desktopGone(const QColor &colour)
    {
        return Polling::waitUntil([&] { return XvfbDisplay::pixelsOf(display.screenshot(), colour) < 1000; }, 10000);
    }

    // Ctrl+C or SIGTERM ends lumen, with its viewer and tunnel; the status is 0.
    static bool interrupt(Lumen &run, int signal)
    {
        // A lumen that has ended already (its viewer gave up by itself) has no process id any more.
        const qint64 pid = run.process.processId();
        if (pid > 0) {
            ::kill(pid_t(pid), signal);
        }
        return run.finish(20000) && run.status() == 0;
    }

    Json::Value listed()
    {
        const auto list = lumen({QStringLiteral("list"), QStringLiteral("--json")});
        return list->status() == 0 ? RpcClient::parse(list->output.toUtf8()) : Json::Value();
    }

    QString stateOf(const QString &id)
    {
        for (const Json::Value &record : listed()) {
            if (QString::fromStdString(record["id"].asString()) == id) {
                return QString::fromStdString(record["permissions"].asString());
            }
        }
        return QString();
    }

    // The session's screen size as its agent last logged it.
    QSize screenSizeOf(const QString &id) const
    {
        static const QRegularExpression resized(QStringLiteral("Screen resized to '(\\d+)x(\\d+)'"));
        QSize size;
        auto matches = resized.globalMatch(readText(sessionFolder(env, id) + QStringLiteral("/server_log")));
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            size = QSize(match.captured(1).toInt(), match.captured(2).toInt());
        }
        return size;
    }

    // An X client on the session's own display; `output` gets what it wrote.
    int runOnSessionDisplay(const QString &id, const QStringList &command, QString *output = nullptr) const
    {
        const QString folder = sessionFolder(env, id);
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + readText(folder + QStringLiteral("/display")).trimmed());
        environment.insert(QStringLiteral("XAUTHORITY"), folder + QStringLiteral("/authority"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(command.first(), command.mid(1));
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        if (output) {
            *output = QString::fromLocal8Bit(process.readAllStandardOutput());
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // Ends the sessions still there the way the server does, for a failed test that left them.
    static void endSessions(const TestEnvironment &world)
    {
        const QString folder = world.userFile(QStringLiteral("sessions"));
        for (const QString &session : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString directory = folder + QLatin1Char('/') + session;
            const qint64 agent = readText(directory + QStringLiteral("/server_pid")).toLongLong();
            const qint64 launcher = readText(directory + QStringLiteral("/monitor_pid")).toLongLong();
            // The agent works in its session's folder: a pid that does not is someone else's.
            const QString agentFolder = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(agent)).symLinkTarget();
            if (agent > 0 && agentFolder == QFileInfo(directory).canonicalFilePath()) {
                ::kill(pid_t(agent), SIGTERM);
            }
            Polling::waitUntil([&] { return !ServerRunner::isProcessAlive(launcher); }, 10000);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid() && reports.isValid() && env.isValid());
        QString error;
        QVERIFY2(PrivateSshd::createKeys(keys.path(), error), qPrintable(error));
        // Sanitizer reports of the server and the relay, which run behind ssh, go to files.
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                env.setVariable(QLatin1String(name), qEnvironmentVariable(name) + QStringLiteral(":log_path=")
                                                         + reports.filePath(QStringLiteral("sanitizer")));
            }
        }
        env.prependPath(QStringLiteral(LUMEN_BIN_DIR)); // the real launchers before the fixtures
        QVERIFY(launchers.isValid());
        env.prependPath(launchers.path());
        env.setSetting(QStringLiteral("DisplayBase"), DisplayBase);
        env.setSetting(QStringLiteral("DisplayLimit"), DisplayLimit);
        env.setSetting(QStringLiteral("LogLevel"), QStringLiteral("Debug1"));
        server = std::make_unique<ServerRunner>(env);
        sshPort = freeLoopbackPort();
        QVERIFY2(sshd.start(keys.path(), QStringLiteral("127.0.0.1"), sshPort, env.processEnvironment(), {}, error),
                 qPrintable(error));
        QVERIFY2(display.start(error), qPrintable(error));
        browser.launch(env.processEnvironment());
    }

    // What lumen can tell from its command line alone is refused before any connection, with the
    // rule and status 2: an unknown option (also written with a value), a screen size out of
    // range, a command line too long for one request.
    void commandLineMistakesAreRefusedBeforeConnecting()
    {
        const struct
        {
            QStringList arguments;
            QString message;
        } mistakes[] = {
            {{QStringLiteral("list"), QStringLiteral("--foo=1")}, QStringLiteral("Unknown option --foo.")},
            {{QStringLiteral("list"), QStringLiteral("--json=yes")}, QStringLiteral("--json takes no value.")},
            {{QStringLiteral("start"), QStringLiteral("--geometry=9000x600"), QStringLiteral("xterm")},
             QStringLiteral("each from 16 to 8192")},
            {{QStringLiteral("start"), QStringLiteral("--geometry"), QStringLiteral("800x8"), QStringLiteral("xterm")},
             QStringLiteral("each from 16 to 8192")},
            {{QStringLiteral("start"), QStringLiteral("--no-viewer"), QStringLiteral("echo ") + QString(65600, QLatin1Char('x'))},
             QStringLiteral("a request to the server holds at most 65536 bytes")},
        };
        for (const auto &mistake : mistakes) {
            auto run = lumen(mistake.arguments);
            QCOMPARE(run->status(), 2);
            QVERIFY2(run->errors.contains(mistake.message), qPrintable(run->describe()));
            QVERIFY2(!run->errors.contains(QStringLiteral("Starting session")), qPrintable(run->describe()));
        }
        QVERIFY(!QFileInfo::exists(env.userFile(QStringLiteral("server_pid"))));
    }

    // start: a new session with a fresh id, and TigerVNC's viewer on its desktop through ssh. The
    // password is on no command line and in no file of the client's; closing the viewer ends lumen.
    void startOpensTheViewerOnTheDesktop()
    {
        auto start = lumen({QStringLiteral("start"), QStringLiteral("--geometry"), QStringLiteral("800x600"),
                            QStringLiteral("--"), desktopCommand(DesktopColour)},
                           false);
        QVERIFY2(start->waitFor(QStringLiteral("Opening the viewer"), true, 90000), qPrintable(start->describe()));
        QVERIFY2(desktopShows(DesktopColour, QStringLiteral("start.png")), qPrintable(start->describe()));

        const Json::Value sessions = listed();
        QCOMPARE(sessions.size(), 1u);
        sessionId = QString::fromStdString(sessions[0]["id"].asString());
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(sessionId).hasMatch(), qPrintable(sessionId));
        QVERIFY2(start->errors.contains(QStringLiteral("Starting session %1 on %2").arg(sessionId.left(8), host())),
                 qPrintable(start->describe()));
        QCOMPARE(QString::fromStdString(sessions[0]["name"].asString()), desktopCommand(DesktopColour));
        QCOMPARE(QString::fromStdString(sessions[0]["permissions"].asString()), QStringLiteral("disconnect|terminate"));

        const QStringList passwords = usedPasswords(sessionId);
        QCOMPARE(passwords.size(), 1);
        const QStringList commandLines = commandLinesWith(passwords.first().toLatin1());
        QVERIFY2(commandLines.isEmpty(), qPrintable(commandLines.join(QLatin1Char('\n'))));
        const QStringList files = filesWith(env.tmpDir(), passwords.first().toLatin1());
        QVERIFY2(files.isEmpty(), qPrintable(files.join(QLatin1Char('\n'))));
        // The viewer's way to the session's port is ssh, not the network.
        const int sessionPort = 41000 + readText(sessionFolder(env, sessionId) + QStringLiteral("/display")).toInt();
        const QStringList tunnels =
            commandLinesWith(QByteArray("-W") + '\0' + "127.0.0.1:" + QByteArray::number(sessionPort) + '\0');
        QVERIFY2(tunnels.size() == 1 && tunnels.first().contains(QLatin1String("ssh")), qPrintable(tunnels.join(QLatin1Char('\n'))));
        QVERIFY(commandLinesWith(QStringLiteral("127.0.0.1::%1").arg(sessionPort).toLatin1()).isEmpty());
        // ... and the port is on the host's loopback alone: nobody on the network can try passwords.
        const QStringList addresses = listeningAddresses(sessionPort);
        QVERIFY2(addresses.contains(QStringLiteral("0100007F")), qPrintable(addresses.join(QLatin1Char(' '))));
        QVERIFY2(!addresses.contains(QStringLiteral("00000000")) && !addresses.contains(QString(32, QLatin1Char('0'))),
                 qPrintable(addresses.join(QLatin1Char(' '))));
        // The viewer's own banner stays out of the way while all goes well.
        QVERIFY2(!start->errors.contains(QStringLiteral("TigerVNC")), qPrintable(start->describe()));

        // The user closes the viewer: lumen ends its tunnel and exits; the session stays.
        const qint64 viewer = start->viewer();
        QVERIFY(viewer > 0);
        QCOMPARE(::kill(pid_t(viewer), SIGTERM), 0);
        QVERIFY2(start->finish(20000) && start->status() == 0, qPrintable(start->describe()));
        QVERIFY2(start->errors.contains(QStringLiteral("goes on")), qPrintable(start->describe()));
        QVERIFY(desktopGone(DesktopColour));
        QVERIFY(Polling::waitUntil([&] { return stateOf(sessionId) == QLatin1String("connect|terminate"); }, 10000));
    }

    // attach after the viewer closed: "Live.Resume", a fresh password, the desktop again. Then a
    // second attach takes the session over, and the first viewer is disconnected.
    void attachGetsInAgainAndTakesOver()
    {
        QVERIFY(!sessionId.isEmpty());
        auto first = lumen({QStringLiteral("attach"), sessionId.left(6)}, false);
        QVERIFY2(desktopShows(DesktopColour, QStringLiteral("attach.png")), qPrintable(first->describe()));
        QStringList passwords = usedPasswords(sessionId);
        QCOMPARE(passwords.size(), 2);
        QVERIFY(passwords[1] != passwords[0]);

        // Refused when asked not to take over.
        auto polite = lumen({QStringLiteral("attach"), QStringLiteral("--no-takeover"), sessionId});
        QCOMPARE(polite->status(), 1);
        QVERIFY2(polite->errors.contains(QStringLiteral("is connected from elsewhere")), qPrintable(polite->describe()));

        auto second = lumen({QStringLiteral("attach"), sessionId}, false);
        QVERIFY2(second->waitFor(QStringLiteral("taking it over"), true, 60000), qPrintable(second->describe()));
        QVERIFY2(first->waitFor(QStringLiteral("closed the viewer's connection to session ") + sessionId.left(8), true,
                                30000),
                 qPrintable(first->describe()));
        QVERIFY2(Polling::waitUntil([&] { return usedPasswords(sessionId).size() == 3; }, 30000), qPrintable(second->describe()));
        // The disconnected viewer closes by itself, and so does its lumen.
        QVERIFY2(first->finish(20000) && first->status() == 0, qPrintable(first->describe()));
        QVERIFY2(desktopShows(DesktopColour, QStringLiteral("takeover.png")), qPrintable(second->describe()));

        // suspend disconnects the second viewer in turn.
        auto suspend = lumen({QStringLiteral("suspend"), sessionId.left(8)});
        QVERIFY2(suspend->status() == 0, qPrintable(suspend->describe()));
        QVERIFY2(second->waitFor(QStringLiteral("closed the viewer's connection"), true, 30000),
                 qPrintable(second->describe()));
        QVERIFY2(second->finish(20000) && second->status() == 0, qPrintable(second->describe()));
        QCOMPARE(stateOf(sessionId), QStringLiteral("connect|terminate"));
    }

    // TigerVNC's viewer asks for its window's size as the desktop's, as the agent now accepts.
    void viewerWindowSizeBecomesTheDesktopSize()
    {
        QVERIFY(!sessionId.isEmpty());
        auto attach = lumen({QStringLiteral("attach"), sessionId}, false);
        QVERIFY2(desktopShows(DesktopColour, QStringLiteral("resize.png")), qPrintable(attach->describe()));
        QProcess xdotool;
        xdotool.setProcessEnvironment(clientEnvironment(env));
        xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                                  QStringLiteral("--name"), QStringLiteral("TigerVNC"), QStringLiteral("windowsize"),
                                                  QStringLiteral("700"), QStringLiteral("500")});
        QVERIFY(xdotool.waitForFinished(10000) && xdotool.exitCode() == 0);
        QVERIFY2(Polling::waitUntil([&] { return screenSizeOf(sessionId) == QSize(700, 500); }, 20000),
                 qPrintable(readText(sessionFolder(env, sessionId) + QStringLiteral("/server_log"))));
        QVERIFY2(interrupt(*attach, SIGTERM), qPrintable(attach->describe()));
    }

    // attach --browser, through ssh and then on this machine: the address that lumen hands to
    // $BROWSER shows the desktop in a real browser (headless chromium), sized to its page; typed text
    // reaches the xterm; the clipboard works both ways; a second page on the address neither gets
    // the desktop nor cuts off the first; closing the tab ends lumen, and the session goes on.
    void browserShowsTheDesktop()
    {
        QVERIFY(!sessionId.isEmpty());
        // Usage errors, and the packages to install when noVNC or websockify is missing.
        for (const QString &other : {QStringLiteral("--no-viewer"), QStringLiteral("--viewer=vncviewer")}) {
            auto both = lumen({QStringLiteral("attach"), QStringLiteral("--browser"), other, sessionId});
            QCOMPARE(both->status(), 2);
            QVERIFY2(both->errors.contains(QStringLiteral("Give one of --browser, --viewer and --no-viewer")),
                     qPrintable(both->describe()));
        }
        QTemporaryDir tools;
        QVERIFY(QFile::link(QStringLiteral("/usr/bin/ssh"), tools.filePath(QStringLiteral("ssh"))));
        QProcessEnvironment withoutBridge = clientEnvironment(env);
        withoutBridge.insert(QStringLiteral("PATH"), tools.path() + QStringLiteral(":") + QStringLiteral(LUMEN_BIN_DIR));
        Lumen noBridge({}, withoutBridge, {QStringLiteral("local"), QStringLiteral("attach"), QStringLiteral("--browser")});
        QVERIFY(noBridge.finish());
        QCOMPARE(noBridge.status(), 2);
        QVERIFY2(noBridge.errors.contains(QStringLiteral("install the package websockify")), qPrintable(noBridge.describe()));

        // Ctrl+C before any page connected: the session that start began is ended again, and the
        // page's address leads nowhere (websockify is gone).
        {
            QProcessEnvironment unopened = clientEnvironment(env);
            unopened.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
            Lumen start({}, unopened, {QStringLiteral("local"), QStringLiteral("start"), QStringLiteral("--browser"), QStringLiteral("xterm")});
            const QRegularExpression printed(QStringLiteral("http://127\\.0\\.0\\.1:\\d+/\\S+"));
            QVERIFY2(start.waitFor(printed, false, 60000), qPrintable(start.describe()));
            QVERIFY(pageIsServed(printed.match(start.output).captured()));
            QCOMPARE(::kill(pid_t(start.process.processId()), SIGINT), 0);
            QVERIFY2(start.finish(60000) && start.status() == 130, qPrintable(start.describe()));
            QVERIFY2(start.errors.contains(QStringLiteral("was ended again")), qPrintable(start.describe()));
            QVERIFY(!pageIsServed(printed.match(start.output).captured()));
            QCOMPARE(RpcClient::idsOf(listed()), QStringList{sessionId});
        }

        QString reason;
        if (!browser.waitUntilStarted(reason)) {
            QSKIP(qPrintable(QStringLiteral("no browser to test with: ") + reason));
        }
        // $BROWSER only notes the address; the test opens it in its own browser.
        const QString addresses = env.root() + QStringLiteral("/browser_addresses");
        const QString noteAddress = env.root() + QStringLiteral("/note-address");
        QFile script(noteAddress);
        QVERIFY(script.open(QIODevice::WriteOnly)
                && script.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n").arg(addresses).toUtf8()) > 0);
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QProcessEnvironment environment = clientEnvironment(env);
        environment.insert(QStringLiteral("BROWSER"), noteAddress);

        for (const bool throughSsh : {true, false}) {
            const QStringList where = throughSsh ? QStringList{QStringLiteral("--ssh"), sshToHost(), host()}
                                                 : QStringList{QStringLiteral("local")};
            Lumen attach({}, environment, where + QStringList{QStringLiteral("attach"), QStringLiteral("--browser"), sessionId});
            QString address;
            QVERIFY2(Polling::waitUntil([&] {
                         address = readText(addresses).split(QLatin1Char('\n'), Qt::SkipEmptyParts).value(throughSsh ? 0 : 1);
                         return !address.isEmpty();
                     }, 60000),
                     qPrintable(attach.describe()));
            QVERIFY2(QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:\\d+/vnc\\.html#.*&password=")).match(address).hasMatch(),
                     qPrintable(address));
            QVERIFY2(attach.waitFor(address, false, 5000), qPrintable(attach.describe()));

            QVERIFY2(browser.open(address) && browser.isConnected(), qPrintable(browser.error() + attach.describe()));
            int matching = 0;
            QSize canvas;
            QVERIFY2(Polling::waitUntil([&] {
                         canvas = browser.canvas(DesktopColour.name(), matching);
                         return matching > canvas.width() * canvas.height() / 2;
                     }, 20000),
                     qPrintable(QStringLiteral("%1 of %2x%3 pixels").arg(matching).arg(canvas.width()).arg(canvas.height())));
            // The desktop takes the page's size.
            QVERIFY2(Polling::waitUntil([&] { return screenSizeOf(sessionId) == browser.canvas(DesktopColour.name(), matching); }, 20000),
                     qPrintable(QStringLiteral("%1x%2").arg(canvas.width()).arg(canvas.height())));

            const QString typed = env.root() + (throughSsh ? QStringLiteral("/typed-through-ssh") : QStringLiteral("/typed-locally"));
            QVERIFY2(browser.typeAt(QPoint(100, 60), QStringLiteral("touch ") + typed + QLatin1Char('\n')), qPrintable(browser.error()));
            QVERIFY(Polling::waitUntil([&] { return QFileInfo::exists(typed); }, 20000));

            if (throughSsh) {
                // One connection per password: a second page gets nothing, and the first stays.
                QVERIFY(browser.open(address));
                const QString second = browser.settledClasses();
                QVERIFY2(!second.contains(QStringLiteral("noVNC_connected")), qPrintable(second));
                QVERIFY(browser.closeTab());
                QVERIFY(browser.isConnected(5000));
            } else {
                QVERIFY2(browser.setClipboard(QStringLiteral("from the browser")), qPrintable(browser.error()));
                QString pasted;
                QVERIFY2(Polling::waitUntil([&] {
                             return runOnSessionDisplay(sessionId, {QStringLiteral("xclip"), QStringLiteral("-o"),
                                                                    QStringLiteral("-selection"), QStringLiteral("clipboard")},
                                                        &pasted) == 0
                                 && pasted == QLatin1String("from the browser");
                         }, 10000),
                         qPrintable(pasted));
                const QString copied = env.root() + QStringLiteral("/copied");
                QFile text(copied);
                QVERIFY(text.open(QIODevice::WriteOnly) && text.write("from the session") > 0);
                text.close();
                QCOMPARE(runOnSessionDisplay(sessionId, {QStringLiteral("xclip"), QStringLiteral("-i"), QStringLiteral("-selection"),
                                                         QStringLiteral("clipboard"), copied}),
                         0);
                QVERIFY2(Polling::waitUntil([&] { return browser.clipboard() == QLatin1String("from the session"); }, 10000),
                         qPrintable(browser.clipboard()));
            }

            // Closing the tab (through ssh) or Ctrl+C once the page is connected (here) ends lumen,
            // and the address leads nowhere now. The session goes on (the second round gets into
            // it again).
            if (throughSsh) {
                QVERIFY(browser.closeTab());
                QVERIFY2(attach.finish(10000) && attach.status() == 0, qPrintable(attach.describe()));
            } else {
                QVERIFY2(interrupt(attach, SIGINT), qPrintable(attach.describe()));
                QVERIFY(browser.closeTab());
            }
            QVERIFY2(attach.errors.contains(QStringLiteral("goes on")), qPrintable(attach.describe()));
            QVERIFY(!pageIsServed(address));
            if (throughSsh) {
                QVERIFY(browser.open(address));
                const QString again = browser.settledClasses(10000);
                QVERIFY2(!again.contains(QStringLiteral("noVNC_connected")), qPrintable(again));
                QVERIFY(browser.closeTab());
            }
        }
        QVERIFY(Polling::waitUntil([&] { return stateOf(sessionId) == QLatin1String("connect|terminate"); }, 10000));
    }

    // list --json prints the records as the server sent them; list shows them in words. A session
    // keeps its whole name (the command, spaces and all) when the server starts again.
    void listShowsTheRecordsAsSent()
    {
        QVERIFY(server->stop(SIGTERM));
        RelayProcess relay;
        QVERIFY(relay.start(TestEnvironment::binary(QStringLiteral("lumen_sci")), {}, env.processEnvironment()));
        relay.sendFrame(R"({"id":1,"jsonrpc":"2.0","method":"Live.ListSessions"})"
                        "\n");
        QByteArray answer;
        QVERIFY(relay.readFrame(answer, 30000));
        const Json::Value response = RpcClient::parse(answer);
        Json::StreamWriterBuilder compact;
        compact["indentation"] = "";
        const QString sent = QString::fromStdString(Json::writeString(compact, response["result"]));
        QCOMPARE(QString::fromStdString(response["result"][0]["name"].asString()), desktopCommand(DesktopColour));

        auto json = lumen({QStringLiteral("list"), QStringLiteral("--json")});
        QCOMPARE(json->status(), 0);
        QCOMPARE(json->output, sent + QLatin1Char('\n'));

        auto table = lumen({QStringLiteral("list")});
        QCOMPARE(table->status(), 0);
        const QStringList lines = table->output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^ID +HOST +STATE +NAME +STARTED +LAST CONNECT$")).match(lines[0]).hasMatch(),
                 qPrintable(table->output));
        QVERIFY2(QRegularExpression(QStringLiteral("^%1 +127\\.0\\.0\\.1 +waiting +xsetroot").arg(sessionId.left(8)))
                     .match(lines[1])
                     .hasMatch(),
                 qPrintable(table->output));
    }

    // A viewer that fails ends lumen with a status that says so and the viewer's own reason in one
    // line: turned away by the session (its password refused, as when another viewer used it
    // first), ended with an error, crashed. The session goes on each time.
    void failingViewersEndLumenWithTheirReason()
    {
        QTemporaryDir viewers;
        QVERIFY(viewers.isValid());
        const struct
        {
            QByteArray script;
            int status;
            QString message;
        } failures[] = {
            {"VNC_PASSWORD=wrong123 exec vncviewer \"$@\"\n", 1,
             QStringLiteral("turned the viewer away: Authentication failure: Authentication failed.")},
            {"echo 'vncviewer: the screen is not there' >&2\nexit 3\n", 4,
             QStringLiteral("failed: the screen is not there (status 3).")},
            {"kill -SEGV $$\n", 4, QStringLiteral("crashed (signal 11)")},
        };
        for (const auto &failure : failures) {
            // Found through PATH under TigerVNC's name, so lumen takes it for TigerVNC's viewer.
            QDir(viewers.path()).remove(QStringLiteral("vncviewer"));
            QVERIFY(writeScript(viewers.filePath(QStringLiteral("vncviewer")),
                                "PATH=/usr/bin:/bin\n" + failure.script));
            QProcessEnvironment environment = clientEnvironment(env);
            environment.insert(QStringLiteral("PATH"),
                               viewers.path() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
            auto attach = lumen({QStringLiteral("attach"), sessionId.left(8)}, true, environment);
            QVERIFY2(attach->status() == failure.status, qPrintable(attach->describe()));
            const QStringList lines = attach->errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QVERIFY2(!lines.isEmpty() && lines.last().contains(failure.message), qPrintable(attach->describe()));
            QVERIFY2(!attach->errors.contains(QStringLiteral("TigerVNC Viewer")), qPrintable(attach->describe()));
        }
        // A page that the session turns away (here: a wrong password in its address) ends lumen so too.
        QString noBrowser;
        if (browser.waitUntilStarted(noBrowser)) {
            QProcessEnvironment environment = clientEnvironment(env);
            environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
            Lumen attach({}, environment, {QStringLiteral("local"), QStringLiteral("attach"), QStringLiteral("--browser"), sessionId});
            const QRegularExpression printed(QStringLiteral("http://127\\.0\\.0\\.1:\\d+/\\S+"));
            QVERIFY2(attach.waitFor(printed, false, 60000), qPrintable(attach.describe()));
            QString address = printed.match(attach.output).captured();
            address.replace(QRegularExpression(QStringLiteral("password=[^&]*")), QStringLiteral("password=wrong123"));
            QVERIFY(browser.open(address));
            QVERIFY2(attach.finish(20000) && attach.status() == 1, qPrintable(attach.describe()));
            QVERIFY2(attach.errors.contains(QStringLiteral("turned the browser away: Authentication failed")),
                     qPrintable(attach.describe()));
            QVERIFY(browser.closeTab());
        }
        QVERIFY(stateOf(sessionId).startsWith(QStringLiteral("retry")));
    }

    // watch prints a start and a terminate as the server reports them; Ctrl+C ends it. The start
    // prints the session's password and the ssh command (with the user's --ssh options) that
    // reaches its port: run as printed, it lets a viewer in, onto the desktop named after the
    // session. A rootless start says once what the reference launchers make of it.
    void watchSeesAStartAndATerminate()
    {
        auto watch = lumen({QStringLiteral("watch")}, false);
        QVERIFY2(watch->waitFor(QStringLiteral("Watching"), true, 60000), qPrintable(watch->describe()));

        auto start = lumen({QStringLiteral("start"), QStringLiteral("--no-viewer"), QStringLiteral("--rootless"),
                            QStringLiteral("xterm")});
        QVERIFY2(start->status() == 0, qPrintable(start->describe()));
        const QString id = QRegularExpression(QStringLiteral("session +([0-9a-f]{32})")).match(start->output).captured(1);
        QVERIFY2(!id.isEmpty(), qPrintable(start->describe()));
        const QString password =
            QRegularExpression(QStringLiteral("password +(\\S{8})")).match(start->output).captured(1);
        QVERIFY2(!password.isEmpty(), qPrintable(start->output));
        QCOMPARE(start->errors.count(QStringLiteral("as a 1024x768 desktop")), 1);

        const QStringList lines = start->errors.split(QLatin1Char('\n'));
        const int through = lines.indexOf(QRegularExpression(QStringLiteral(".*reach it through ssh:$")));
        QVERIFY2(through >= 0 && through + 1 < lines.size(), qPrintable(start->describe()));
        const QString tunnelCommand = lines.at(through + 1).trimmed();
        const quint16 localPort =
            QRegularExpression(QStringLiteral(" -L (\\d+):127\\.0\\.0\\.1:")).match(tunnelCommand).captured(1).toUShort();
        QVERIFY2(tunnelCommand.contains(QStringLiteral("-p %1").arg(sshPort)) && localPort != 0, qPrintable(tunnelCommand));
        QProcess tunnel;
        tunnel.setProcessEnvironment(clientEnvironment(env));
        tunnel.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + tunnelCommand});
        const auto endTunnel = qScopeGuard([&] {
            tunnel.kill();
            tunnel.waitForFinished(5000);
        });
        QVERIFY2(Polling::waitUntil([&] { return !listeningAddresses(localPort).isEmpty(); }, 20000),
                 qPrintable(tunnelCommand + QLatin1Char('\n') + QString::fromLocal8Bit(tunnel.readAllStandardError())));
        RfbViewer viewer;
        QVERIFY2(viewer.connectToPort(localPort), qPrintable(viewer.error()));
        const RfbViewer::Handshake handshake = viewer.authenticate(password);
        QVERIFY2(handshake.accepted, qPrintable(viewer.error()));
        QCOMPARE(handshake.desktopName, QStringLiteral("xterm (%1)").arg(id.left(8)));
        QVERIFY2(watch->waitFor(QRegularExpression(QStringLiteral("started +%1 +127\\.0\\.0\\.1 +xterm").arg(id.left(8))),
                                false, 20000),
                 qPrintable(watch->describe()));

        auto terminate = lumen({QStringLiteral("terminate"), id});
        QVERIFY2(terminate->status() == 0, qPrintable(terminate->describe()));
        QVERIFY(!QFileInfo::exists(sessionFolder(env, id)));
        QVERIFY2(watch->waitFor(QRegularExpression(QStringLiteral("ended +%1 +127\\.0\\.0\\.1 +xterm").arg(id.left(8))),
                                false, 20000),
                 qPrintable(watch->describe()));

        QVERIFY2(interrupt(*watch, SIGINT), qPrintable(watch->describe()));
    }

    // Each error says what to do next and ends with its own status.
    void errorsSayWhatToDo()
    {
        auto unknown = lumen({QStringLiteral("attach"), QStringLiteral("ffffffff")});
        QCOMPARE(unknown->status(), 1);
        QVERIFY2(unknown->errors.contains(QStringLiteral("knows no session \"ffffffff\". See its sessions with: lumen %1 list")
                                              .arg(host())),
                 qPrintable(unknown->describe()));

        // A second session whose id differs from the first one only in its last digit.
        const QString twin = sessionId.left(31) + (sessionId.endsWith(QLatin1Char('0')) ? QLatin1Char('1') : QLatin1Char('0'));
        RelayProcess relay;
        QVERIFY(relay.start(TestEnvironment::binary(QStringLiteral("lumen_sci")), {}, env.processEnvironment()));
        relay.sendFrame(QStringLiteral(R"({"id":1,"jsonrpc":"2.0","method":"Live.Start","params":["%1","xterm","640x480"]})"
                                       "\n")
                            .arg(twin)
                            .toUtf8());
        QByteArray answer;
        QVERIFY(relay.readFrame(answer, 60000));
        QVERIFY2(answer.contains("\"result\""), answer.constData());
        auto ambiguous = lumen({QStringLiteral("suspend"), sessionId.left(31)});
        QCOMPARE(ambiguous->status(), 2);
        QVERIFY2(ambiguous->errors.contains(QStringLiteral("is the beginning of 2 session ids")), qPrintable(ambiguous->describe()));
        auto exact = lumen({QStringLiteral("terminate"), twin});
        QVERIFY2(exact->status() == 0, qPrintable(exact->describe()));

        // Nothing listens on the port: ssh's own message, and status 3.
        Lumen unreachable({}, clientEnvironment(env),
                          {QStringLiteral("--ssh"), ssh() + QStringLiteral(" -p %1").arg(freeLoopbackPort()), host(),
                           QStringLiteral("list")});
        QVERIFY(unreachable.finish());
        QCOMPARE(unreachable.status(), 3);
        QVERIFY2(unreachable.errors.contains(QStringLiteral("Could not reach %1 through ssh").arg(host()))
                     && unreachable.errors.contains(QStringLiteral("Connection refused")),
                 qPrintable(unreachable.describe()));

        // The host has no such relay.
        Lumen noRelay({}, clientEnvironment(env),
                      {QStringLiteral("--ssh"), ssh(),
                       QStringLiteral("ssh://%1:%2/no_such_relay").arg(host()).arg(sshPort), QStringLiteral("list")});
        QVERIFY(noRelay.finish());
        QCOMPARE(noRelay.status(), 3);
        QVERIFY2(noRelay.errors.contains(QStringLiteral("The relay \"no_such_relay\" is missing on"))
                     && noRelay.errors.contains(QStringLiteral("install the package lumen-server")),
                 qPrintable(noRelay.describe()));

        // No viewer on this machine: the package to install, status 2, and no session started.
        QTemporaryDir tools;
        QVERIFY(QFile::link(QStringLiteral("/usr/bin/ssh"), tools.filePath(QStringLiteral("ssh"))));
        QProcessEnvironment withoutViewer = clientEnvironment(env);
        withoutViewer.insert(QStringLiteral("PATH"), tools.path() + QStringLiteral(":") + QStringLiteral(LUMEN_BIN_DIR));
        Lumen noViewer({}, withoutViewer,
                       {QStringLiteral("--ssh"), sshToHost(), host(), QStringLiteral("start"), QStringLiteral("xterm")});
        QVERIFY(noViewer.finish());
        QCOMPARE(noViewer.status(), 2);
        QVERIFY2(noViewer.errors.contains(QStringLiteral("install the package tigervnc-viewer")),
                 qPrintable(noViewer.describe()));
        QCOMPARE(RpcClient::idsOf(listed()), QStringList{sessionId});
    }

    // `local` needs no PATH: lumen finds the relay next to itself, and names it when it is not there.
    void localFindsTheRelayNextToLumen()
    {
        QProcessEnvironment plain = clientEnvironment(env);
        plain.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        Lumen found({}, plain, {QStringLiteral("local"), QStringLiteral("list"), QStringLiteral("--json")});
        QVERIFY(found.finish());
        QVERIFY2(found.status() == 0 && RpcClient::idsOf(RpcClient::parse(found.output.toUtf8())) == QStringList{sessionId},
                 qPrintable(found.describe()));

        QTemporaryDir alone;
        QVERIFY(alone.isValid());
        const QString copy = alone.filePath(QStringLiteral("lumen"));
        QVERIFY(QFile::copy(TestEnvironment::binary(QStringLiteral("lumen")), copy));
        QProcess missing;
        missing.setProcessEnvironment(plain);
        missing.start(copy, {QStringLiteral("local"), QStringLiteral("list")});
        QVERIFY(missing.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(missing.readAllStandardError());
        QCOMPARE(missing.exitCode(), 2);
        QVERIFY2(errors.contains(QStringLiteral("The relay \"lumen_sci\" is neither on this machine's PATH nor next to lumen")),
                 qPrintable(errors));
    }

    // Ctrl+C while a session is being started, before any viewer shows it: the session is ended
    // again and nothing of the client's is left behind (its private folder for ssh's control socket).
    void interruptBeforeTheViewerEndsTheSession()
    {
        // A start-agent that takes its time: the interruption surely comes while the host starts.
        QVERIFY(writeScript(launchers.filePath(QStringLiteral("start-agent")),
                            "sleep 3\nexec '" LUMEN_BIN_DIR "/start-agent' \"$@\"\n"));
        const auto restore = qScopeGuard([&] { QFile::remove(launchers.filePath(QStringLiteral("start-agent"))); });
        const QStringList folders = QDir(env.tmpDir()).entryList({QStringLiteral("lumen-*")}, QDir::Dirs);

        auto start = lumen({QStringLiteral("start"), QStringLiteral("xterm")}, false);
        QVERIFY2(start->waitFor(QStringLiteral("Starting session"), true, 60000), qPrintable(start->describe()));
        QCOMPARE(::kill(pid_t(start->process.processId()), SIGINT), 0);
        QVERIFY2(start->finish(60000) && start->status() == 130, qPrintable(start->describe()));
        QVERIFY2(start->errors.contains(QStringLiteral("was ended again")), qPrintable(start->describe()));
        QCOMPARE(start->viewer(), 0);
        QCOMPARE(RpcClient::idsOf(listed()), QStringList{sessionId});
        QCOMPARE(QDir(env.tmpDir()).entryList({QStringLiteral("lumen-*")}, QDir::Dirs), folders);
    }

    // terminate while a viewer shows the session: the session and its folder go, and the viewer's
    // lumen says that the session has ended.
    void terminateEndsTheSession()
    {
        auto viewing = lumen({QStringLiteral("attach"), sessionId.left(8)}, false);
        QVERIFY2(desktopShows(DesktopColour, QStringLiteral("before_terminate.png")), qPrintable(viewing->describe()));
        auto terminate = lumen({QStringLiteral("terminate"), sessionId.left(8)});
        QVERIFY2(terminate->status() == 0, qPrintable(terminate->describe()));
        QVERIFY2(terminate->output.contains(QStringLiteral("Session %1 is terminated.").arg(sessionId.left(8))),
                 qPrintable(terminate->describe()));
        QVERIFY2(viewing->finish(30000) && viewing->status() == 0, qPrintable(viewing->describe()));
        QVERIFY2(viewing->errors.contains(QStringLiteral("Session %1 on %2 has ended.").arg(sessionId.left(8), host())),
                 qPrintable(viewing->describe()));
        QVERIFY2(!viewing->errors.contains(QStringLiteral("goes on")), qPrintable(viewing->describe()));
        QVERIFY(!QFileInfo::exists(sessionFolder(env, sessionId)));
        auto list = lumen({QStringLiteral("list"), QStringLiteral("--json")});
        QCOMPARE(list->output, QStringLiteral("[]\n"));
    }

    // Two hosts of a cluster, A and B, each with its own sshd, on two subnets joined by a router that
    // no broadcast crosses: they find each other through "Peers" (one list naming both, as a settings
    // file shared by the hosts would). A session started on B is listed by `lumen A list` and
    // attached through A, which leads lumen on to B's relay and B's loopback.
    void clusterSessionIsAttachedThroughItsHost()
    {
        auto hosts = std::make_unique<NetworkNamespaces>(1, 1);
        QString error;
        if (!hosts->create(error)) {
            QFAIL(qPrintable(QStringLiteral("Cannot create network namespaces (root and iproute2 needed): ") + error));
        }
        QTemporaryDir shared; // the part of the home folder that both hosts share: certificate and key
        QVERIFY(shared.isValid());
        QVERIFY2(createCertificate(shared.filePath(QStringLiteral("server_cert")), shared.filePath(QStringLiteral("server_key")),
                                   error),
                 qPrintable(error));
        std::unique_ptr<TestEnvironment> world[2];
        PrivateSshd hostSshd[2];
        QString url[2];
        // Before the folders go: the sessions, then everything else that runs on the two hosts.
        const auto cleanUp = qScopeGuard([&] {
            for (int host = 0; host < 2; ++host) {
                if (world[host]) {
                    endSessions(*world[host]);
                }
                hostSshd[host].stop();
            }
            hosts.reset();
        });
        for (int host = 0; host < 2; ++host) {
            url[host] = QStringLiteral("ssh://%1@%2:%3/lumen_sci")
                            .arg(PrivateSshd::loginName(), hosts->address(host))
                            .arg(ClusterSshPort);
            world[host] = std::make_unique<TestEnvironment>();
            if (host > 0) {
                world[host]->setUser(world[0]->user());
            }
            world[host]->prependPath(QStringLiteral(LUMEN_BIN_DIR));
            for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
                if (qEnvironmentVariableIsSet(name)) {
                    world[host]->setVariable(QLatin1String(name), qEnvironmentVariable(name) + QStringLiteral(":log_path=")
                                                                      + reports.filePath(QStringLiteral("cluster")));
                }
            }
            world[host]->setSetting(QStringLiteral("UserPath"), shared.filePath(QStringLiteral("host-%1").arg(host)));
            world[host]->setSetting(QStringLiteral("SciUrl"), url[host]);
            world[host]->setSetting(QStringLiteral("BroadcastPort"), BroadcastPort);
            world[host]->setSetting(QStringLiteral("BroadcastAddress"), hosts->broadcastAddress(host));
            world[host]->setSetting(QStringLiteral("Peers"), QStringList{hosts->hostName(0), hosts->hostName(1)});
            world[host]->setSetting(QStringLiteral("DisplayBase"), ClusterDisplayBase);
            world[host]->setSetting(QStringLiteral("DisplayLimit"), DisplayLimit);
            QVERIFY2(hostSshd[host].start(keys.path(), hosts->address(host), ClusterSshPort,
                                          world[host]->processEnvironment(),
                                          {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), hosts->name(host)},
                                          error),
                     qPrintable(error));
        }
        // lumen runs on host A, as a user logged in there would run it.
        const QStringList onA = {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), hosts->name(0)};
        auto clusterLumen = [&](const QStringList &arguments) {
            return std::make_unique<Lumen>(onA, clientEnvironment(*world[0]),
                                           QStringList{QStringLiteral("--ssh"), ssh()} + arguments);
        };
        auto done = [](Lumen &run) { return run.finish() && run.status() == 0; };

        auto emptyA = clusterLumen({url[0], QStringLiteral("list")}); // starts A's server
        QVERIFY2(done(*emptyA), qPrintable(emptyA->describe()));
        auto startB = clusterLumen({url[1], QStringLiteral("start"), QStringLiteral("--no-viewer"), QStringLiteral("--geometry"),
                                    QStringLiteral("800x600"), desktopCommand(ClusterDesktopColour)});
        QVERIFY2(done(*startB), qPrintable(startB->describe()));
        const QString id = QRegularExpression(QStringLiteral("session +([0-9a-f]{32})")).match(startB->output).captured(1);
        QVERIFY2(!id.isEmpty(), qPrintable(startB->describe()));

        std::unique_ptr<Lumen> listA;
        QVERIFY2(Polling::waitUntil([&] {
                     listA = clusterLumen({url[0], QStringLiteral("list")});
                     return done(*listA) && listA->output.contains(id.left(8));
                 }, 20000),
                 qPrintable(listA->describe()));
        QVERIFY2(QRegularExpression(QStringLiteral("\n%1 +%2 +password offered ").arg(id.left(8), hosts->address(1)))
                     .match(listA->output)
                     .hasMatch(),
                 qPrintable(listA->output));

        auto attach = clusterLumen({url[0], QStringLiteral("attach"), id.left(8)});
        QVERIFY2(attach->waitFor(QStringLiteral("runs on %1").arg(url[1]), true, 60000), qPrintable(attach->describe()));
        QVERIFY2(desktopShows(ClusterDesktopColour, QStringLiteral("cluster.png")), qPrintable(attach->describe()));
        QVERIFY2(interrupt(*attach, SIGTERM), qPrintable(attach->describe()));

        auto terminate = clusterLumen({url[0], QStringLiteral("terminate"), id.left(8)});
        QVERIFY2(done(*terminate), qPrintable(terminate->describe()));
        QVERIFY(!QFileInfo::exists(sessionFolder(*world[1], id)));
    }

    void cleanup()
    {
        if (!QTest::currentTestFailed()) {
            return;
        }
        QString report = QStringLiteral("--- server_log\n") + readText(env.userFile(QStringLiteral("server_log")));
        const QString folder = env.userFile(QStringLiteral("sessions"));
        for (const QString &session : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            report += QStringLiteral("--- %1/server_log\n").arg(session)
                + readText(folder + QLatin1Char('/') + session + QStringLiteral("/server_log"));
        }
        qWarning().noquote() << report;
    }

    void cleanupTestCase()
    {
        endSessions(env);
        sshd.stop();
        server.reset(); // stops the server, which writes its sanitizer report (if any) as it exits
        const QStringList found = QDir(reports.path()).entryList(QDir::Files);
        for (const QString &name : found) {
            qWarning().noquote() << "--- " + name + "\n" + readText(reports.filePath(name));
        }
        QVERIFY2(found.isEmpty(), "the server or the relay reported a fault");
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"

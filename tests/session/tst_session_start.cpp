// Starting a session: the display search, the session files with the real "xauth", the agent and
// the application launchers (the stand-ins of tests/fixtures, found through PATH).

#include "tests/support/log_capture.h"
#include "session_test_agents.h"
#include "session_test_files.h"

#include "server/session/display_search.h"
#include "server/session/error_code.h"
#include "server/session/port_probe.h"
#include "server/session/session_runtime.h"
#include "server/session/x_authority.h"
#include "server/session/xauth_standby.h"

#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// This test's displays; nothing else on the machine may use them.
constexpr quint16 firstTestDisplay = 120;
constexpr quint16 endTestDisplay = 140;

QStringList jsonStrings(const QByteArray &json)
{
    QStringList strings;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        strings << value.toString();
    }
    return strings;
}
}

class TestSessionStart : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temporary;
    LogCapture recorder;
    QByteArray originalPath;
    QList<SessionRuntime *> runtimes;
    int sessionCount = 0;

    QString newSessionDir()
    {
        return QDir(temporary.path()).filePath(QString("sessions/C-%1").arg(++sessionCount));
    }

    QString xTmp() const { return QDir(temporary.path()).filePath("tmp"); }

    // Starts a session on the first free display of [first, end); the runtime is kept for clean-up.
    int start(SessionRuntime *&runtime, const QString &dir, const QString &geometry = "1024x768",
              const QString &command = "xterm", quint16 first = firstTestDisplay, quint16 end = endTestDisplay)
    {
        runtime = new SessionRuntime;
        runtimes << runtime;
        return runtime->startAgent(dir, first, end, geometry, command);
    }

    // A script called "xauth" in its own folder, put first on PATH: it records its working
    // directory, arguments and the commands it reads (";" after each), then runs the real xauth.
    // `failFor` names a display name that it refuses with an error line instead, in a command or
    // as an argument.
    QString installRecordingXauth(const QString &failFor = QString())
    {
        const QString realXauth = QStandardPaths::findExecutable("xauth");
        const QString folder = QDir(temporary.path()).filePath("wrapped_xauth");
        QDir().mkpath(folder);
        const QString record = QDir(folder).filePath("calls");
        QFile::remove(record);
        const QByteArray refused = failFor.toUtf8();
        const QByteArray script = "#!/bin/sh\n"
                                  "refuse() { echo 'refused on purpose' >&2; echo 'second line' >&2; exit 1; }\n"
                                  "if [ \"$3\" = source ]; then\n"
                                  "  input=$(cat)\n"
                                  "  echo \"$(pwd)|$*|$(printf '%s\\n' \"$input\" | tr '\\n' ';')\" >> '" + record.toUtf8() + "'\n"
                                  "  if [ -n '" + refused + "' ] && printf '%s\\n' \"$input\" | grep -q ' " + refused + " '; then refuse; fi\n"
                                  "  printf '%s\\n' \"$input\" | '" + realXauth.toUtf8() + "' \"$@\"\n"
                                  "  exit $?\n"
                                  "fi\n"
                                  "echo \"$(pwd)|$*\" >> '" + record.toUtf8() + "'\n"
                                  "if [ -n '" + refused + "' ] && [ \"$4\" = '" + refused + "' ]; then refuse; fi\n"
                                  "exec '" + realXauth.toUtf8() + "' \"$@\"\n";
        const QString path = QDir(folder).filePath("xauth");
        if (!writeBytes(path, script)
            || !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            return QString();
        }
        qputenv("PATH", folder.toUtf8() + ":" + qgetenv("PATH"));
        return record;
    }

    static bool displayLooksFree(int display)
    {
        return isPortFree(quint16(6000 + display)) && isPortFree(quint16(41000 + display))
            && !QFile::exists(QString("/tmp/.X%1-lock").arg(display))
            && !QFile::exists(QString("/tmp/Xrdp_%1.sock").arg(display));
    }

    // Sockets in TIME_WAIT (state 06) that have the port at either end.
    static int socketsInTimeWaitWith(quint16 port)
    {
        QFile table("/proc/net/tcp");
        if (!table.open(QIODevice::ReadOnly)) {
            return -1;
        }
        int count = 0;
        const QString hex = QString("%1").arg(port, 4, 16, QChar('0')).toUpper();
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QStringList fields = QString::fromLatin1(line).simplified().split(' ');
            if (fields.size() > 3 && fields[3] == "06"
                && (fields[1].endsWith(":" + hex) || fields[2].endsWith(":" + hex))) {
                ++count;
            }
        }
        return count;
    }

    static QString xauthList(const QString &authority, const QString &displayName)
    {
        QProcess xauth;
        xauth.start("xauth", {"-f", authority, "list", displayName});
        xauth.waitForFinished(10000);
        return QString::fromLocal8Bit(xauth.readAllStandardOutput());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temporary.isValid());
        QVERIFY(QDir().mkpath(xTmp() + "/.X11-unix"));
        // X11 socket files are looked for in the temporary directory that TMPDIR names.
        qputenv("TMPDIR", xTmp().toUtf8());
        originalPath = QString(QString(LUMEN_FIXTURES_DIR) + ":" + qEnvironmentVariable("PATH")).toUtf8();
        QVERIFY2(!QStandardPaths::findExecutable("xauth").isEmpty(), "xauth is not installed");
        for (int display = firstTestDisplay; display < endTestDisplay; ++display) {
            QVERIFY2(displayLooksFree(display),
                     qPrintable(QString("display %1 is in use on this machine").arg(display)));
        }
    }

    void init()
    {
        qputenv("PATH", originalPath);
        recorder.clear();
    }

    void cleanup()
    {
        // No agent outlives its test.
        for (SessionRuntime *runtime : std::as_const(runtimes)) {
            stopAgent(*runtime);
            delete runtime;
        }
        runtimes.clear();
    }

    void portWithAListenerIsInUse()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const quint16 port = server.serverPort();
        QVERIFY(!isPortFree(port));
        // The probe's own end goes without a trace: a socket in TIME_WAIT would keep its local port,
        // which may be the viewer port of another display, from being bound for a minute.
        QTcpSocket *accepted = server.waitForNewConnection(1000) ? server.nextPendingConnection() : nullptr;
        QVERIFY(accepted);
        QTRY_COMPARE(accepted->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(socketsInTimeWaitWith(port), 0);
        server.close();
        QVERIFY(isPortFree(port));
    }

    void portThatDoesNotAnswerIsInUse()
    {
        // A listener that never accepts, with its queue full: further connections get no answer.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 0) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const quint16 port = ntohs(address.sin_port);
        QList<QTcpSocket *> fillers;
        bool queueFull = false;
        for (int attempt = 0; attempt < 8 && !queueFull; ++attempt) {
            auto *filler = new QTcpSocket(this);
            fillers << filler;
            filler->connectToHost(QHostAddress::LocalHost, port);
            queueFull = !filler->waitForConnected(200);
        }
        if (queueFull) {
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!isPortFree(port));
            QVERIFY2(timer.elapsed() >= 900, qPrintable(QString::number(timer.elapsed())));
        }
        qDeleteAll(fillers);
        ::close(listener);
        if (!queueFull) {
            QSKIP("this system answers every connection to a full queue");
        }
    }

    void emptyRangeFailsWithoutAProbe()
    {
        // A probe of the X11 port would show up as a connection here.
        QTcpServer x11;
        QVERIFY(x11.listen(QHostAddress::LocalHost, 6000 + 121));
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, newSessionDir(), "1024x768", "xterm", 121, 121), int(NoOpenDisplay));
        QVERIFY(!x11.waitForNewConnection(200));
        QCOMPARE(recorder.warnings(), QStringList{"Failed to find an open display"});
        QCOMPARE(start(runtime, newSessionDir(), "1024x768", "xterm", 123, 121), int(NoOpenDisplay));
        QVERIFY(!x11.waitForNewConnection(100));
    }

    // A display is skipped only for what would stop its agent or X server; each skip is logged with
    // its reason. What an X server or agent that ended leaves behind is no obstacle: they replace it.
    void onlyWhatStopsAnAgentSkipsADisplay()
    {
        const quint16 used = 124;
        quint16 display = 0;
        QVERIFY(findFreeDisplay(used, used + 1, display));
        QCOMPARE(display, used);
        const auto skipped = [&](const QString &reason) {
            recorder.clear();
            const bool found = findFreeDisplay(used, used + 1, display);
            return !found && recorder.count(QString("Display %1 skipped: %2").arg(used).arg(reason)) == 1;
        };

        const QString lock = QString("/tmp/.X%1-lock").arg(used);
        QVERIFY(writeBytes(lock, QByteArray::number(unusedPid()).rightJustified(10) + "\n"));
        QVERIFY(findFreeDisplay(used, used + 1, display));
        QVERIFY(writeBytes(lock, QByteArray::number(::getpid()).rightJustified(10) + "\n"));
        QVERIFY(skipped(QString("the lock file \"%1\" names the running process \"%2\"").arg(lock).arg(::getpid())));
        QVERIFY(writeBytes(lock, "garbage"));
        QVERIFY(skipped(QString("the lock file \"%1\" holds no process id").arg(lock)));
        QFile::remove(lock);

        // A socket file that nobody answers on is left over; one with a listener is in use.
        for (const QString &socketPath : {xTmp() + QString("/.X11-unix/X%1").arg(used), QString("/tmp/Xrdp_%1.sock").arg(used)}) {
            QVERIFY(writeBytes(socketPath, ""));
            QVERIFY2(findFreeDisplay(used, used + 1, display), qPrintable(socketPath));
            QFile::remove(socketPath);
            QLocalServer listener;
            QVERIFY(listener.listen(socketPath));
            QVERIFY(skipped(QString("something answers on \"%1\"").arg(socketPath)));
            listener.close();
        }

        {
            // An X server seen only through its abstract socket: one of another job, whose /tmp is its own.
            QLocalServer abstract;
            abstract.setSocketOptions(QLocalServer::AbstractNamespaceOption);
            QVERIFY(abstract.listen(QString("/tmp/.X11-unix/X%1").arg(used)));
            QVERIFY(skipped(QString("an X server listens on the abstract socket \"@/tmp/.X11-unix/X%1\"").arg(used)));
        }
        {
            QTcpServer x11;
            QVERIFY(x11.listen(QHostAddress::LocalHost, quint16(6000 + used)));
            QVERIFY(skipped(QString("the X11 port \"%1\" is in use").arg(6000 + used)));
        }
        {
            QTcpServer agent;
            QVERIFY(agent.listen(QHostAddress::LocalHost, quint16(41000 + used)));
            QVERIFY(skipped(QString("the viewer port \"%1\" cannot be bound: Address already in use").arg(41000 + used)));
        }
        // An agent port that is the local end of an outgoing connection answers nothing, yet the
        // agent could not listen on it.
        {
            QTcpServer peer;
            QVERIFY(peer.listen(QHostAddress::LocalHost));
            QTcpSocket outgoing;
            QVERIFY(outgoing.bind(QHostAddress::LocalHost, quint16(41000 + used), QAbstractSocket::DontShareAddress));
            outgoing.connectToHost(QHostAddress::LocalHost, peer.serverPort());
            QVERIFY(outgoing.waitForConnected(1000));
            QVERIFY(skipped(QString("the viewer port \"%1\" cannot be bound: Address already in use").arg(41000 + used)));
        }
        QVERIFY(findFreeDisplay(used, used + 1, display));
        QVERIFY(!findFreeDisplay(used, used + 1, display, [](quint16) { return false; }));
        QCOMPARE(recorder.count(QString("Display %1 skipped: a session of this server, or another start on this host, has it").arg(used)), 1);
    }

    void displaysWithoutAnAgentPortAreNoCandidates()
    {
        // 41000 + 24536 would be beyond the last TCP port.
        quint16 display = 0;
        QVERIFY(!findFreeDisplay(24536, 24600, display));
        QVERIFY(!findFreeDisplay(65530, 65535, display));
        QCOMPARE(display, quint16(0));
    }

    void startWritesTheSessionFilesAndLaunchesTheAgent()
    {
        const QString record = installRecordingXauth();
        QVERIFY(!record.isEmpty());
        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "1024x768", "xterm -geometry 80x24", 126, 130), 0);
        QVERIFY(recorder.warnings().isEmpty());
        const QDir session(dir);
        QCOMPARE(readBytes(session.filePath("display")), QByteArray("126"));
        QCOMPARE(readBytes(session.filePath("window_mode")), QByteArray("desktop"));
        QCOMPARE(readBytes(session.filePath("name")), QByteArray("xterm -geometry 80x24"));
        QCOMPARE(readBytes(session.filePath("info")), QByteArray("{\n}"));
        for (const char *name : {"display", "window_mode", "name", "info", "monitor_pid", "authority"}) {
            QCOMPARE(fileMode(session.filePath(name)), 0600);
        }

        // Both entries carry the same fresh cookie, added by one run of xauth; xauth itself finds
        // them under both names.
        const QString host = QHostInfo::localHostName();
        const QStringList calls = QString::fromUtf8(readBytes(record)).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(calls.size(), 1);
        const QString entry = "add (\\S+) MIT-MAGIC-COOKIE-1 ([0-9a-f]{32});";
        const QRegularExpression call(QRegularExpression::anchoredPattern(
            QString("%1\\|-f %1/authority source -\\|%2%2").arg(QRegularExpression::escape(dir), entry)));
        const QRegularExpressionMatch commands = call.match(calls.at(0));
        QVERIFY2(commands.hasMatch(), qPrintable(calls.join(" / ")));
        QCOMPARE(commands.captured(1), QString("unix:126"));
        QCOMPARE(commands.captured(3), QString("%1:126").arg(host));
        QCOMPARE(commands.captured(2), commands.captured(4));
        const QRegularExpressionMatch first = commands;
        for (const QString &name : {QString("unix:126"), QString("%1:126").arg(host)}) {
            const QString listed = xauthList(session.filePath("authority"), name);
            QVERIFY2(listed.contains(QRegularExpression("MIT-MAGIC-COOKIE-1\\s+" + first.captured(2))),
                     qPrintable(listed));
        }

        // The launcher runs detached in the session directory with the geometry and the agent's port.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(session.filePath("agent_args")), 5000);
        QCOMPARE(jsonStrings(readBytes(session.filePath("agent_args"))), (QStringList{"1024x768", "41126"}));
        const QByteArray monitorPid = readBytes(session.filePath("monitor_pid"));
        QVERIFY(QRegularExpression("^[1-9][0-9]*$").match(QString::fromLatin1(monitorPid)).hasMatch());
        QCOMPARE(QFileInfo(QString("/proc/%1/cwd").arg(QString::fromLatin1(monitorPid))).canonicalFilePath(),
                 QFileInfo(dir).canonicalFilePath());
        QTRY_COMPARE_WITH_TIMEOUT(readBytes(session.filePath("server_pid")), monitorPid, 5000);

        QCOMPARE(runtime->path(), dir);
        QCOMPARE(runtime->display(), quint16(126));
        QCOMPARE(runtime->windowMode(), QString("desktop"));
        QCOMPARE(runtime->name(), QString("xterm -geometry 80x24"));
        QCOMPARE(runtime->exitCode(), -1);
        QCOMPARE(runtime->screenSize(), QSize(-1, -1));
        QCOMPARE(runtime->refresh(), 0);
        QVERIFY(!runtime->exited());
    }

    void geometryDecidesTheWindowModeAndReachesTheAgentUnchanged_data()
    {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<QString>("windowMode");
        QTest::newRow("rootless") << "rootless" << "rootless";
        QTest::newRow("Rootless") << "Rootless" << "desktop";
        QTest::newRow("size") << "1024x768" << "desktop";
        QTest::newRow("empty") << "" << "desktop";
    }

    void geometryDecidesTheWindowModeAndReachesTheAgentUnchanged()
    {
        QFETCH(QString, geometry);
        QFETCH(QString, windowMode);
        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, geometry, "xclock", 131, 135), 0);
        QCOMPARE(runtime->windowMode(), windowMode);
        QCOMPARE(readBytes(QDir(dir).filePath("window_mode")), windowMode.toUtf8());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QDir(dir).filePath("agent_args")), 5000);
        // The display is the first free one from 131: another suite's connection may hold a port.
        const QString port = QString::number(41000 + runtime->display());
        QCOMPARE(jsonStrings(readBytes(QDir(dir).filePath("agent_args"))), (QStringList{geometry, port}));
    }

    void failedSecondAuthorityEntryIsOnlyLogged()
    {
        const QString host = QHostInfo::localHostName();
        QVERIFY(!installRecordingXauth(QString("%1:136").arg(host)).isEmpty());
        SessionRuntime *runtime = nullptr;
        const QString dir = newSessionDir();
        QCOMPARE(start(runtime, dir, "1024x768", "xterm", 136, 137), 0);
        // The failed run is tried again entry by entry, to tell which one failed and why.
        QCOMPARE(recorder.warnings(), QStringList{"Failed to run the program \"xauth\": refused on purpose"});
        QVERIFY(xauthList(QDir(dir).filePath("authority"), "unix:136").contains("MIT-MAGIC-COOKIE-1"));
    }

    void xauthThatCannotBeRunFailsWithMinus80()
    {
        // Only the stand-ins are on PATH, and xauth is none of them.
        qputenv("PATH", LUMEN_FIXTURES_DIR);
        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "1024x768", "xterm", 137, 138), int(WriteFileFailed));
        const QStringList warnings = recorder.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().startsWith("Failed to run the program \"xauth\": "), qPrintable(warnings.first()));
        QVERIFY(QFile::exists(QDir(dir).filePath("info")));
        QVERIFY(!QFile::exists(QDir(dir).filePath("monitor_pid")));
        QVERIFY(runtime->path().isEmpty());
    }

    void missingAgentLauncherFailsWithMinus84()
    {
        qputenv("PATH", QFileInfo(QStandardPaths::findExecutable("xauth")).path().toUtf8());
        if (!QStandardPaths::findExecutable("start-agent").isEmpty()) {
            QSKIP("a start-agent is installed next to xauth");
        }
        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "1024x768", "xterm", 137, 138), int(AgentStartFailed));
        QCOMPARE(recorder.warnings(),
                 QStringList{QString("Failed to start the agent in the directory \"%1\"").arg(dir)});
        QVERIFY(!QFile::exists(QDir(dir).filePath("monitor_pid")));
    }

    void directoryThatCannotBeCreatedFailsWithMinus87()
    {
        const QString blocker = QDir(temporary.path()).filePath("plain_file");
        QVERIFY(writeBytes(blocker, "x"));
        const QString dir = blocker + "/sessions/C-x";
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "1024x768", "xterm", 137, 138), int(CreateDirectoryFailed));
        QCOMPARE(recorder.warnings(), QStringList{QString("Failed to create the directory \"%1\"").arg(dir)});
    }

    void sessionFileThatCannotBeWrittenFailsWithMinus80()
    {
        const QString dir = newSessionDir();
        QVERIFY(QDir().mkpath(dir + "/name"));
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "1024x768", "xterm", 137, 138), int(WriteFileFailed));
        const QStringList warnings = recorder.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().startsWith(QString("Failed to open the file \"%1/name\": ").arg(dir)),
                 qPrintable(warnings.first()));
        QVERIFY(!QFile::exists(QDir(dir).filePath("info")));
    }

    void applicationGetsTheCommandAsOneArgument()
    {
        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "rootless", "xterm", 138, 140), 0);
        const QString command = "xterm -title 'two words' -e \"sh -c 'echo $HOME'\"";
        QCOMPARE(runtime->startApplication(command), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QDir(dir).filePath("app_args")), 5000);
        QCOMPARE(jsonStrings(readBytes(QDir(dir).filePath("app_args"))), QStringList{command});
        QCOMPARE(fileMode(QDir(dir).filePath("app_log")), 0600);
        QVERIFY(recorder.warnings().isEmpty());
    }

    void applicationFailures()
    {
        SessionRuntime empty;
        QCOMPARE(empty.startApplication("xterm"), int(NotInitialized));

        const QString dir = newSessionDir();
        SessionRuntime *runtime = nullptr;
        QCOMPARE(start(runtime, dir, "rootless", "xterm", 138, 140), 0);
        qputenv("PATH", "/nonexistent-folder");
        QCOMPARE(runtime->startApplication("xterm"), int(ApplicationStartFailed));
        QCOMPARE(recorder.warnings(),
                 QStringList{QString("Failed to start the applicaion in the directory \"%1\"").arg(dir)});
        QVERIFY(QFile::exists(QDir(dir).filePath("app_log")));

        recorder.clear();
        QVERIFY(QFile::remove(QDir(dir).filePath("app_log")));
        QVERIFY(QDir().mkpath(QDir(dir).filePath("app_log")));
        QCOMPARE(runtime->startApplication("xterm"), int(WriteFileFailed));
        QCOMPARE(recorder.warnings().size(), 1);
        qputenv("PATH", originalPath);
    }

    // A server keeps an "xauth" waiting for its next start. The file it leaves is byte for byte the one
    // a run in the session directory leaves; a program put in place of "xauth" meanwhile runs instead.
    void standbyXauthLeavesTheSameFile()
    {
        XauthStandby &standby = XauthStandby::global();
        standby.setEnabled(true);
        const auto off = qScopeGuard([&standby] { standby.setEnabled(false); });
        const QString folder = QDir(temporary.path()).filePath("xauth_standby");
        const QString cookie = "00112233445566778899aabbccddeeff";
        // An address, not a name, so that the second entry is one of its own on any host.
        const auto add = [&cookie](const QString &dir) {
            QString error;
            QString hostError;
            return QDir().mkpath(dir) && addAuthorityEntries(dir, "unix:140", "192.0.2.7:140", cookie, error, hostError)
                && error.isEmpty() && hostError.isEmpty();
        };
        const int runs = standby.standbyRuns();
        const QString ownRun = newSessionDir();
        QVERIFY(add(ownRun));
        QCOMPARE(standby.standbyRuns(), runs);
        prepareNextAuthorityRun(ownRun);
        QTRY_VERIFY_WITH_TIMEOUT(standby.isReady(folder), 5000);
        const QString standbyRun = newSessionDir();
        QVERIFY(add(standbyRun));
        QCOMPARE(standby.standbyRuns(), runs + 1);
        const QByteArray written = readBytes(QDir(ownRun).filePath("authority"));
        QVERIFY(written.contains(QByteArray::fromHex(cookie.toLatin1())));
        QCOMPARE(readBytes(QDir(standbyRun).filePath("authority")), written);
        QCOMPARE(fileMode(QDir(standbyRun).filePath("authority")), 0600);

        prepareNextAuthorityRun(standbyRun);
        QTRY_VERIFY_WITH_TIMEOUT(standby.isReady(folder), 5000);
        const QString record = installRecordingXauth();
        const QString replaced = newSessionDir();
        QVERIFY(add(replaced));
        QCOMPARE(standby.standbyRuns(), runs + 1);
        QVERIFY(readBytes(record).startsWith(replaced.toUtf8() + "|"));
        QCOMPARE(readBytes(QDir(replaced).filePath("authority")), written);
    }
};

QTEST_GUILESS_MAIN(TestSessionStart)
#include "tst_session_start.moc"

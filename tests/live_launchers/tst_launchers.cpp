// The reference launchers "start-agent" and "start-app", run for real: Xtigervnc, VNC viewers over
// TCP, X clients, signals. Each test has its own session directory and display.

#include "agent_session.h"
#include "tests/support/rfb_viewer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

namespace {

const QString TimePattern = QStringLiteral("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}");
const QString PasswordPattern = QStringLiteral("Added new password ([A-Za-z0-9]{8})");

// The prefixes of the log lines that lumen_server interprets.
const QStringList ServerPrefixes = {"RDP initialized at ", "Added new password ", "Expiring password ",
                                    "Client authenticated from ", "Client disconnected from ", "Screen resized to "};

QStringList passwordsOf(const QJsonObject &info)
{
    QStringList passwords;
    for (const QJsonValue &value : info.value("Passwords").toArray()) {
        passwords << value.toString();
    }
    return passwords;
}

QString authenticatedLine(const QString &password)
{
    return QStringLiteral("Client authenticated from '127\\.0\\.0\\.1' at '(%1)' with password '%2'")
        .arg(TimePattern, QRegularExpression::escape(password));
}

QString capture(const QString &line, const QString &pattern, int group = 1)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(line).captured(group);
}

// The addresses on which sockets of the machine listen on the TCP port, as the kernel writes them
// (hexadecimal: 0100007F is 127.0.0.1, 00000000 any IPv4 address, 32 zeros any IPv6 address).
QStringList listeningAddresses(int port)
{
    const QString local = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    QStringList addresses;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QString::fromLatin1(table)};
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            // "sl local_address rem_address st ...": 0A is LISTEN
            if (fields.size() > 3 && fields.at(1).endsWith(local.toLatin1()) && fields.at(3) == "0A") {
                addresses << QString::fromLatin1(fields.at(1)).section(QLatin1Char(':'), 0, 0);
            }
        }
    }
    addresses.sort();
    return addresses;
}

bool tcpListening(int port)
{
    return !listeningAddresses(port).isEmpty();
}

const QString AnyIPv4 = QStringLiteral("00000000");
const QString AnyIPv6 = QString(32, QLatin1Char('0'));
const QString LoopbackIPv4 = QStringLiteral("0100007F");

} // namespace

class TestLaunchers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void agentServesTheDisplay();
    void geometryWithoutSizeGetsDefault_data();
    void geometryWithoutSizeGetsDefault();
    void badArgumentsEndWithUsageStatus();
    void passwordsAreOneTime();
    void realViewerReceivesFrameOfTheGeometry();
    void pendingPasswordsAreCapped();
    void suspendDisconnectsEveryViewer();
    void viewersResizeTheDesktopAndShareCutText();
    void startAppRunsCommandOnTheDisplay();
    void terminateEndsTheWholeSession();
    void endOfTheXServerEndsTheSession_data();
    void endOfTheXServerEndsTheSession();

private:
    // A password added by SIGUSR1, read from the log line that announces it.
    QString addPassword(AgentSession &session);
    // Starts a marked application that survives the loss of its display, plus a window; returns their pids.
    QList<qint64> startApplications(AgentSession &session);
    void verifySessionGone(AgentSession &session, const QList<qint64> &applications);

    TestEnvironment environment;
};

void TestLaunchers::initTestCase()
{
    QVERIFY(environment.isValid());
    for (const char *tool : {"Xtigervnc", "xauth", "xdpyinfo", "xwininfo", "xmessage", "setpriv", "vncsnapshot", "xrandr",
                             "xclip"}) {
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(),
                 qPrintable(QStringLiteral("%1 is missing: run scripts/setup.sh").arg(QLatin1String(tool))));
    }
    QVERIFY(QFileInfo(TestEnvironment::binary("start-agent")).isExecutable());
    QVERIFY(QFileInfo(TestEnvironment::binary("start-app")).isExecutable());
}

QString TestLaunchers::addPassword(AgentSession &session)
{
    const int before = session.countLogLines(PasswordPattern);
    if (!session.signalAgent(SIGUSR1)) {
        return QString();
    }
    for (int waited = 0; waited < 100 && session.countLogLines(PasswordPattern) == before; ++waited) {
        QTest::qWait(50);
    }
    const QStringList lines = session.logLines().filter(QRegularExpression("^" + PasswordPattern + "$"));
    return lines.size() > before ? capture(lines.last(), PasswordPattern) : QString();
}

void TestLaunchers::agentServesTheDisplay()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));

    // The launcher itself receives the signals and works in the session directory.
    QCOMPARE(session.readFile("server_pid").trimmed().toLongLong(), session.launcherPid());
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/cwd").arg(session.launcherPid())).symLinkTarget(),
             QFileInfo(session.directory()).canonicalFilePath());
    QVERIFY(!QFileInfo::exists(session.file("server_exit")));

    const QString started = capture(session.waitForLogLine("RDP initialized at '(\\S*)'"), "RDP initialized at '(\\S*)'");
    const QDateTime parsed = QDateTime::fromString(started, "yyyy-MM-ddThh:mm:ss");
    QVERIFY2(parsed.isValid(), qPrintable(started));
    // Local time of the agent, whose environment has TZ=UTC.
    QVERIFY(qAbs(QDateTime(parsed.date(), parsed.time(), Qt::UTC).secsTo(QDateTime::currentDateTimeUtc())) < 60);
    QVERIFY(!session.waitForLogLine("Screen resized to '800x600'", 0).isEmpty());
    // No line may stop the server's reading of the log early.
    QVERIFY(!session.readFile("server_log").contains("\n\n"));

    const QJsonObject info = session.info(&error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(info.value("Started").toString(), started);
    QVERIFY(info.value("ScreenWidth").isDouble() && info.value("ScreenHeight").isDouble());
    QCOMPARE(info.value("ScreenWidth").toInt(), 800);
    QCOMPARE(info.value("ScreenHeight").toInt(), 600);
    QCOMPARE(info.value("Clients").toInt(-1), 0);
    QVERIFY(info.value("Passwords").isArray() && passwordsOf(info).isEmpty());
    QVERIFY(!info.contains("LastConnect") && !info.contains("LastDisconnect"));
    // Its answers hold the passwords: only the user may connect.
    QCOMPARE(QFileInfo(session.infoSocketPath()).permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup
                 | QFileDevice::ReadOther | QFileDevice::WriteOther), QFileDevice::Permissions());

    // Viewers come through ssh tunnels: the port listens on the loopback alone (::1 too, where the
    // machine has it), so nobody on the network can try passwords.
    const QStringList viewerAddresses = listeningAddresses(session.port());
    QVERIFY2(viewerAddresses.contains(LoopbackIPv4), qPrintable(viewerAddresses.join(' ')));
    QVERIFY2(!viewerAddresses.contains(AnyIPv4) && !viewerAddresses.contains(AnyIPv6), qPrintable(viewerAddresses.join(' ')));

    // Local clients reach the X server through its Unix socket with the session's cookie; nothing
    // listens on TCP port 6000 + d, so the host-name display name does not reach it.
    const QString authority = session.file("authority");
    const QString number = QString::number(session.display());
    const QString hostDisplay = QHostInfo::localHostName() + ":" + number;
    QString output;
    QCOMPARE(session.runXClient("xdpyinfo", {}, ":" + number, authority, &output), 0);
    QVERIFY(output.contains(QRegularExpression("dimensions:\\s+800x600 pixels")));
    QVERIFY(!tcpListening(6000 + session.display()));
    QVERIFY(session.runXClient("xdpyinfo", {}, hostDisplay, authority) != 0);
    // ... and only with it.
    const QString wrongAuthority = environment.root() + "/wrong_authority";
    QProcess xauth;
    xauth.start("xauth", {"-f", wrongAuthority, "add", "unix:" + number, "MIT-MAGIC-COOKIE-1", QString(32, QLatin1Char('0'))});
    QVERIFY(xauth.waitForFinished() && xauth.exitCode() == 0);
    QVERIFY(session.runXClient("xdpyinfo", {}, QStringLiteral(":%1").arg(session.display()), wrongAuthority) != 0);

    // Asked for, TCP is served too, and the authority file's host-name entry works over it; and
    // viewers may come from the network, on every address.
    environment.setVariable("LUMEN_AGENT_X_TCP", "1");
    environment.setVariable("LUMEN_AGENT_VIEWERS_FROM_NETWORK", "1");
    AgentSession withTcp(environment);
    const bool tcpUp = withTcp.startAndWaitUntilUp("800x600", error);
    environment.unsetVariable("LUMEN_AGENT_X_TCP");
    environment.unsetVariable("LUMEN_AGENT_VIEWERS_FROM_NETWORK");
    QVERIFY2(tcpUp, qPrintable(error));
    const QStringList everywhere = listeningAddresses(withTcp.port());
    QVERIFY2(everywhere.contains(AnyIPv4) || everywhere.contains(AnyIPv6), qPrintable(everywhere.join(' ')));
    QVERIFY(tcpListening(6000 + withTcp.display()));
    const QString tcpDisplay = QHostInfo::localHostName() + ":" + QString::number(withTcp.display());
    QCOMPARE(withTcp.runXClient("xdpyinfo", {}, tcpDisplay, withTcp.file("authority"), &output), 0);
    QVERIFY(output.contains(QRegularExpression("dimensions:\\s+800x600 pixels")));
}

void TestLaunchers::geometryWithoutSizeGetsDefault_data()
{
    QTest::addColumn<QString>("geometry");
    QTest::newRow("rootless") << "rootless";
    QTest::newRow("missing height") << "800x";
    QTest::newRow("letters") << "wide";
    QTest::newRow("too large") << "99999x600";
    QTest::newRow("signed") << "-800x600";
    QTest::newRow("empty") << "";
}

void TestLaunchers::geometryWithoutSizeGetsDefault()
{
    QFETCH(QString, geometry);
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp(geometry, error), qPrintable(error));

    const QJsonObject info = session.info();
    QCOMPARE(info.value("ScreenWidth").toInt(), 1024);
    QCOMPARE(info.value("ScreenHeight").toInt(), 768);
    QVERIFY(!session.waitForLogLine("Screen resized to '1024x768'", 0).isEmpty());
    // The log says why, in a line the server does not take for one of its own.
    const QStringList notes = session.logLines().filter(QStringLiteral("'%1'").arg(geometry));
    QCOMPARE(notes.size(), 1);
    for (const QString &prefix : ServerPrefixes) {
        QVERIFY2(!notes.first().startsWith(prefix), qPrintable(notes.first()));
    }
}

void TestLaunchers::badArgumentsEndWithUsageStatus()
{
    const QList<QStringList> cases = {{"800x600"}, {"800x600", "5900"}, {"800x600", "41abc"}, {"800x600", "70000"}};
    for (const QStringList &arguments : cases) {
        AgentSession session(environment);
        QString error;
        QVERIFY2(session.prepare(error) && session.start(arguments, error), qPrintable(error));
        QVERIFY2(session.waitForLauncherEnd(5000), qPrintable(arguments.join(' ')));
        QCOMPARE(session.readFile("server_exit"), QStringLiteral("2"));
        QVERIFY(session.waitForLogLine("Usage: start-agent .*", 0).size() > 0);
    }
}

void TestLaunchers::passwordsAreOneTime()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));

    const QString first = addPassword(session);
    const QString second = addPassword(session);
    QVERIFY2(!first.isEmpty() && !second.isEmpty(), qPrintable(session.logLines().join('\n')));
    QVERIFY(first != second);
    QCOMPARE(passwordsOf(session.info()), QStringList({first, second}));

    // The newer password, as the server hands it out, lets a viewer in and shows the whole screen.
    RfbViewer viewer;
    QVERIFY2(viewer.connectToPort(session.port()), qPrintable(viewer.error()));
    const RfbViewer::Handshake accepted = viewer.authenticate(second);
    QVERIFY2(accepted.accepted, qPrintable(viewer.error()));
    QCOMPARE(accepted.serverVersion, QStringLiteral("RFB 003.008"));
    QCOMPARE(accepted.width, 800);
    QCOMPARE(accepted.height, 600);
    QVERIFY2(viewer.readFramebuffer(800, 600), qPrintable(viewer.error()));

    const QString line = session.waitForLogLine(authenticatedLine(second), 5000);
    QVERIFY2(!line.isEmpty(), qPrintable(session.logLines().join('\n')));
    QJsonObject info = session.info();
    QCOMPARE(passwordsOf(info), QStringList({first}));
    QCOMPARE(info.value("Clients").toInt(), 1);
    QCOMPARE(info.value("LastConnect").toString(), capture(line, authenticatedLine(second)));

    // A used password and a wrong one are refused, and neither counts as a client.
    for (const QString &password : {second, QStringLiteral("wrong123"), QString()}) {
        RfbViewer refused;
        QVERIFY(refused.connectToPort(session.port()));
        const RfbViewer::Handshake result = refused.authenticate(password);
        QVERIFY2(!result.accepted, qPrintable(password));
        QCOMPARE(result.failureReason, QStringLiteral("Authentication failed"));
        QVERIFY(refused.waitForClosed(5000));
    }
    QCOMPARE(session.countLogLines("Client authenticated from .*"), 1);
    QCOMPARE(session.info().value("Clients").toInt(), 1);

    // The older password still works, here for a viewer that speaks RFB 3.3.
    RfbViewer older;
    QVERIFY(older.connectToPort(session.port()));
    const RfbViewer::Handshake olderResult = older.authenticate(first, 3);
    QVERIFY2(olderResult.accepted, qPrintable(older.error()));
    QCOMPARE(olderResult.width, 800);
    QVERIFY(!session.waitForLogLine(authenticatedLine(first), 5000).isEmpty());
    info = session.info();
    QCOMPARE(info.value("Clients").toInt(), 2);
    QVERIFY(passwordsOf(info).isEmpty());
}

void TestLaunchers::realViewerReceivesFrameOfTheGeometry()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("640x480", error), qPrintable(error));
    const QString password = addPassword(session);
    QVERIFY(!password.isEmpty());

    const QString passwordFile = session.file("viewer_passwd");
    QFile handle(passwordFile);
    QVERIFY(handle.open(QIODevice::WriteOnly) && handle.write(RfbViewer::passwordFile(password)) == 8);
    handle.close();

    // vncsnapshot, a viewer from Debian; raw encoding, since it cannot decode TigerVNC's solid tight rectangles.
    auto snapshot = [&](const QString &image) {
        QProcess viewer;
        viewer.setProcessChannelMode(QProcess::MergedChannels);
        viewer.start("vncsnapshot", {"-quiet", "-allowblank", "-encodings", "raw", "-passwd", passwordFile,
                                     QStringLiteral("127.0.0.1::%1").arg(session.port()), image});
        if (!viewer.waitForFinished(20000)) {
            viewer.kill();
            viewer.waitForFinished();
        }
        return viewer.exitStatus() == QProcess::NormalExit ? viewer.exitCode() : -1;
    };
    const QString image = session.file("frame.jpg");
    QCOMPARE(snapshot(image), 0);
    QCOMPARE(QImageReader(image).size(), QSize(640, 480));
    QVERIFY(!session.waitForLogLine(authenticatedLine(password), 5000).isEmpty());
    QVERIFY(!session.waitForLogLine("Client disconnected from '127\\.0\\.0\\.1' at '" + TimePattern + "'", 5000).isEmpty());

    QVERIFY(snapshot(session.file("again.jpg")) != 0);
    QVERIFY(!QFileInfo::exists(session.file("again.jpg")));
}

void TestLaunchers::pendingPasswordsAreCapped()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));

    QStringList added;
    for (int count = 0; count < 11; ++count) {
        added << addPassword(session);
        QVERIFY(!added.last().isEmpty());
    }
    // The oldest one goes, with the line that tells the server so.
    QVERIFY(!session.waitForLogLine("Expiring password " + QRegularExpression::escape(added.first()), 5000).isEmpty());
    QCOMPARE(session.countLogLines("Expiring password .*"), 1);
    QCOMPARE(passwordsOf(session.info()), added.mid(1));

    RfbViewer viewer;
    QVERIFY(viewer.connectToPort(session.port()));
    QVERIFY(!viewer.authenticate(added.first()).accepted);
}

void TestLaunchers::suspendDisconnectsEveryViewer()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));

    RfbViewer first, second;
    for (RfbViewer *viewer : {&first, &second}) {
        const QString password = addPassword(session);
        QVERIFY(viewer->connectToPort(session.port()));
        QVERIFY2(viewer->authenticate(password).accepted, qPrintable(viewer->error()));
    }
    QCOMPARE(session.info().value("Clients").toInt(), 2);

    QVERIFY(session.signalAgent(SIGUSR2));
    QVERIFY(first.waitForClosed(5000));
    QVERIFY(second.waitForClosed(5000));
    const QString disconnected = "Client disconnected from '127\\.0\\.0\\.1' at '(" + TimePattern + ")'";
    QTRY_COMPARE_WITH_TIMEOUT(session.countLogLines(disconnected), 2, 5000);
    QJsonObject info = session.info();
    QCOMPARE(info.value("Clients").toInt(), 0);
    const QString lastDisconnect = info.value("LastDisconnect").toString();
    QCOMPARE(lastDisconnect, capture(session.logLines().filter("Client disconnected").last(), disconnected));

    // The session lives on. Suspends in quick succession each show a new disconnection time (which
    // has whole seconds), since that is all the server can wait for.
    QString previous = lastDisconnect;
    for (int round = 0; round < 3; ++round) {
        RfbViewer viewer;
        const QString password = addPassword(session);
        QVERIFY(viewer.connectToPort(session.port()));
        QVERIFY(viewer.authenticate(password).accepted);
        QVERIFY(session.signalAgent(SIGUSR2));
        QVERIFY(viewer.waitForClosed(5000));
        QTRY_COMPARE_WITH_TIMEOUT(session.countLogLines(disconnected), 3 + round, 5000);
        info = session.info();
        QVERIFY2(info.value("LastDisconnect").toString() > previous, qPrintable(previous));
        QCOMPARE(info.value("Clients").toInt(), 0);
        previous = info.value("LastDisconnect").toString();
    }
}

// A viewer's desktop size request, kept within the agent's limits, and a change made inside the
// session are both reported; cut text passes both ways between a viewer and the session.
void TestLaunchers::viewersResizeTheDesktopAndShareCutText()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));
    RfbViewer viewer;
    QVERIFY(viewer.connectToPort(session.port()));
    QVERIFY2(viewer.authenticate(addPassword(session)).accepted, qPrintable(viewer.error()));

    const QString displayName = QStringLiteral(":%1").arg(session.display());
    const QString authority = session.file("authority");
    viewer.requestDesktopSize(1000, 700);
    QVERIFY2(!session.waitForLogLine("Screen resized to '1000x700'", 10000).isEmpty(),
             qPrintable(session.logLines().join('\n')));
    QJsonObject info = session.info();
    QCOMPARE(info.value("ScreenWidth").toInt(), 1000);
    QCOMPARE(info.value("ScreenHeight").toInt(), 700);
    QString output;
    QCOMPARE(session.runXClient("xdpyinfo", {}, displayName, authority, &output), 0);
    QVERIFY(output.contains(QRegularExpression("dimensions:\\s+1000x700 pixels")));

    viewer.requestDesktopSize(9000, 600);
    QVERIFY2(!session.waitForLogLine("Screen resized to '8192x600'", 10000).isEmpty(),
             qPrintable(session.logLines().join('\n')));
    QCOMPARE(session.runXClient("xrandr", {"-s", "1024x768"}, displayName, authority, &output), 0);
    QVERIFY2(!session.waitForLogLine("Screen resized to '1024x768'", 10000).isEmpty(), qPrintable(output));
    QCOMPARE(session.info().value("ScreenWidth").toInt(), 1024);

    viewer.sendCutText("from the viewer");
    QTRY_VERIFY_WITH_TIMEOUT(session.runXClient("xclip", {"-o", "-selection", "clipboard"}, displayName, authority, &output) == 0
                                 && output == QLatin1String("from the viewer"),
                             10000);
    QFile text(session.file("cut_text"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("from the session") > 0);
    text.close();
    QCOMPARE(session.runXClient("xclip", {"-i", "-selection", "clipboard", text.fileName()}, displayName, authority), 0);
    QByteArray received;
    QVERIFY2(viewer.readCutText(received), qPrintable(viewer.error()));
    QCOMPARE(received, QByteArray("from the session"));
    QCOMPARE(session.info().value("Clients").toInt(), 1);
}

QList<qint64> TestLaunchers::startApplications(AgentSession &session)
{
    // A background process that ignores the loss of the display, and an X client in front.
    const QString command = QStringLiteral("sleep 600 & echo $! > '%1/sleeper_pid'; echo $$ > '%1/window_pid'; "
                                           "exec xmessage -title LumenProbe running")
                                .arg(session.directory());
    if (session.runStartApp({command}) != 0) {
        return {};
    }
    QList<qint64> pids;
    for (const char *name : {"sleeper_pid", "window_pid"}) {
        for (int waited = 0; waited < 100 && session.readFile(name).trimmed().isEmpty(); ++waited) {
            QTest::qWait(50);
        }
        pids << session.readFile(name).trimmed().toLongLong();
    }
    return pids;
}

void TestLaunchers::startAppRunsCommandOnTheDisplay()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));
    QFile log(session.file("app_log"));
    QVERIFY(log.open(QIODevice::WriteOnly) && log.write("earlier line\n") > 0);
    log.close();

    // start-app returns at once while the application keeps running.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(session.runStartApp({"echo \"display $DISPLAY\"; echo \"authority $XAUTHORITY\" >&2; "
                                  "exec xmessage -title LumenProbe hello"}),
             0);
    QVERIFY(timer.elapsed() < 5000);

    const QString displayName = QStringLiteral(":%1").arg(session.display());
    QTRY_VERIFY_WITH_TIMEOUT(session.runXClient("xwininfo", {"-name", "LumenProbe"}, displayName,
                                                session.file("authority")) == 0, 10000);
    const QString appLog = session.readFile("app_log");
    QVERIFY2(appLog.startsWith("earlier line\n"), qPrintable(appLog));
    QVERIFY2(appLog.contains("display " + displayName + "\n"), qPrintable(appLog));
    QVERIFY2(appLog.contains("authority " + QFileInfo(session.directory()).canonicalFilePath() + "/authority\n"),
             qPrintable(appLog));

    QCOMPARE(session.runStartApp({}), 2);
}

void TestLaunchers::verifySessionGone(AgentSession &session, const QList<qint64> &applications)
{
    for (qint64 pid : applications) {
        QVERIFY2(!AgentSession::isAlive(pid), qPrintable(QStringLiteral("process %1 survived the session").arg(pid)));
    }
    for (const QString &path : {session.lockFilePath(), session.xSocketPath(), session.infoSocketPath(),
                                session.file("vnc_socket")}) {
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    }
}

void TestLaunchers::terminateEndsTheWholeSession()
{
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));
    const qint64 xServer = session.xServerPid();
    QVERIFY(AgentSession::isAlive(xServer));
    const QList<qint64> applications = startApplications(session);
    QCOMPARE(applications.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(session.runXClient("xwininfo", {"-name", "LumenProbe"}, QStringLiteral(":%1").arg(session.display()),
                                                session.file("authority")) == 0, 10000);
    RfbViewer viewer;
    QVERIFY(viewer.connectToPort(session.port()));
    QVERIFY(viewer.authenticate(addPassword(session)).accepted);

    QVERIFY(session.signalAgent(SIGTERM));
    QVERIFY(session.waitForLauncherEnd(15000));
    QCOMPARE(session.readFile("server_exit"), QStringLiteral("0"));
    QVERIFY(viewer.waitForClosed(1000));
    QVERIFY(!AgentSession::isAlive(xServer));
    verifySessionGone(session, applications);
}

void TestLaunchers::endOfTheXServerEndsTheSession_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("clean");
    QTest::newRow("crash") << int(SIGKILL) << false;
    // A batch system ends every process of a job at once: the X server may go first.
    QTest::newRow("stop on request") << int(SIGTERM) << true;
}

void TestLaunchers::endOfTheXServerEndsTheSession()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, clean);
    AgentSession session(environment);
    QString error;
    QVERIFY2(session.startAndWaitUntilUp("800x600", error), qPrintable(error));
    const qint64 xServer = session.xServerPid();
    QVERIFY(xServer > 0);
    const QList<qint64> applications = startApplications(session);
    QCOMPARE(applications.size(), 2);

    QCOMPARE(::kill(pid_t(xServer), signalNumber), 0);
    QVERIFY(session.waitForLauncherEnd(15000));
    bool isNumber = false;
    const int status = session.readFile("server_exit").toInt(&isNumber);
    QVERIFY(isNumber);
    QCOMPARE(status == 0, clean);
    verifySessionGone(session, applications);
}

QTEST_GUILESS_MAIN(TestLaunchers)
#include "tst_launchers.moc"

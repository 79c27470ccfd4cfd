#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

// The real lumen_server, started the way lumen_sci starts it, in a private environment.
class ServerStartupTest : public QObject
{
    Q_OBJECT

private:
    static QString fileMode(const QString &path)
    {
        return QString::number(int(QFileInfo(path).permissions() & 0x0777), 16);
    }

    static QString readText(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void firstStartCreatesCertificateAndDaemon()
    {
        TestEnvironment env;
        env.setSetting("LogLevel", "Debug1");
        QVERIFY(env.createUserPath());
        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QVERIFY(launched.finished);
        QCOMPARE(launched.exitCode, 0);
        QCOMPARE(launched.standardError, QByteArray());

        // The launcher only returned after start-up: the pid file is already there.
        const qint64 pid = server.pid();
        QVERIFY(pid > 0);
        QVERIFY(ServerRunner::isProcessAlive(pid));
        QCOMPARE(QFileInfo(QString("/proc/%1/cwd").arg(pid)).symLinkTarget(), QString("/"));
        QFile stat(QString("/proc/%1/stat").arg(pid));
        QVERIFY(stat.open(QIODevice::ReadOnly));
        const QStringList fields = QString::fromLatin1(stat.readAll()).section(')', 1).split(' ', Qt::SkipEmptyParts);
        QCOMPARE(fields.at(3).toLongLong(), pid); // its own session: the session id is its pid

        const QString certificate = env.userPath() + "/../server_cert";
        const QString key = env.userPath() + "/../server_key";
        QVERIFY(QFile::exists(certificate));
        QVERIFY(readText(certificate).contains("BEGIN CERTIFICATE"));
        QCOMPARE(fileMode(certificate), QString("600"));
        QCOMPARE(fileMode(key), QString("600"));
        QCOMPARE(fileMode(env.userFile("server_pid")), QString("600"));
        QVERIFY(QFileInfo(env.userFile("sessions")).isDir());
        QCOMPARE(readText(env.userFile("server_pid")), QString::number(pid));

        const QString log = server.log();
        for (const char *step : {"Writing the pid file", "Creating certificate files", "Creating the session directory",
                                 "Setting up signal handlers"}) {
            QVERIFY2(log.contains(QString(": Debug1: ") + step), step);
        }
        QVERIFY(log.contains(": Info: Starting the server version 1.0.38"));
        const QRegularExpression line("^[A-Z][a-z]{2} [1-9][0-9]? \\d\\d:\\d\\d:\\d\\d: (Critical|Warning|Info|Debug1|Debug2|Debug3): .+$");
        for (const QString &text : log.split('\n', Qt::SkipEmptyParts)) {
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
        }

        QVERIFY(server.stop(SIGTERM));
        QVERIFY(server.log().contains(": Info: Exiting the server"));
        QVERIFY(!QFile::exists(env.userFile("server_pid")));
    }

    void infoLevelHidesProgressLines()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        ServerRunner server(env);
        QCOMPARE(server.launch().exitCode, 0);
        QVERIFY(server.waitForLog("Starting the server version"));
        QVERIFY(!server.log().contains("Debug1"));
        QVERIFY(server.stop(SIGINT));
        QVERIFY(server.log().contains("Exiting the server"));
        QVERIFY(!QFile::exists(env.userFile("server_pid")));
    }

    void secondServerForTheSameUserLeavesQuietly()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        ServerRunner first(env);
        QCOMPARE(first.launch().exitCode, 0);
        const qint64 pid = first.pid();

        ServerRunner second(env);
        const LaunchResult again = second.launch();
        QCOMPARE(again.exitCode, 0);
        QVERIFY(again.standardError.isEmpty());
        QVERIFY(again.standardOutput.isEmpty());
        QCOMPARE(first.pid(), pid);
        QVERIFY(ServerRunner::isProcessAlive(pid));
        QCOMPARE(first.log().count("Starting the server version"), 1);

        // The same files, whatever USER says: no second server, and the first keeps its files.
        const quint16 port = first.port();
        for (const QString &user : {QString(), QString("somebody-else")}) {
            user.isNull() ? env.unsetVariable("USER") : env.setVariable("USER", user);
            const LaunchResult reused = second.launch();
            QCOMPARE(reused.exitCode, 0);
            QVERIFY(reused.standardError.isEmpty());
            QCOMPARE(first.pid(), pid);
            QCOMPARE(first.port(), port);
        }
        QVERIFY(ServerRunner::isProcessAlive(pid));
        QCOMPARE(first.log().count("Starting the server version"), 1);

        // Another user path on the same machine gets a server of its own.
        TestEnvironment otherUser;
        QVERIFY(otherUser.createUserPath());
        ServerRunner other(otherUser);
        QCOMPARE(other.launch().exitCode, 0);
        QVERIFY(other.pid() > 0);
        QVERIFY(other.pid() != pid);
    }

    // Run by hand on a fresh account: the server makes its folders, for the user's eyes only; one it
    // cannot make is reported.
    void missingUserPathIsCreatedOrReported()
    {
        TestEnvironment env; // the user path is not created
        {
            ServerRunner server(env);
            const LaunchResult launched = server.launch();
            QCOMPARE(launched.exitCode, 0);
            QCOMPARE(launched.standardError, QByteArray());
            QVERIFY(server.pid() > 0);
            QCOMPARE(fileMode(env.userPath()), QString("700"));
            QCOMPARE(fileMode(env.userPath() + "/.."), QString("700"));
        }

        const QString blocker = env.root() + "/not_a_folder";
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        env.setSetting("UserPath", blocker + "/server");
        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QCOMPARE(launched.exitCode, 1);
        const QString expected = QString("Critical: Failed to create the server directory \"%1\": Not a directory\n")
                                     .arg(blocker + "/server");
        QVERIFY2(QString::fromLocal8Bit(launched.standardError).endsWith(expected), launched.standardError.constData());
    }

    void garbageKeyFailsAfterThePidFileAndRemovesIt()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        {
            ServerRunner first(env); // creates a real certificate and key
            QCOMPARE(first.launch().exitCode, 0);
            QVERIFY(first.stop(SIGTERM));
        }
        const QString keyPath = env.userPath() + "/../server_key";
        QFile key(keyPath);
        QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
        key.write("garbage");
        key.close();

        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QCOMPARE(launched.exitCode, 1);
        QVERIFY2(launched.standardError.contains(QString("Critical: Invalid private key in file \"%1\"").arg(keyPath).toLocal8Bit()),
                 launched.standardError.constData());
        QVERIFY(!QFile::exists(env.userFile("server_pid")));
        QVERIFY(server.log().contains("Invalid private key in file"));
    }

    void brokenOpensslFailsStartup()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        QDir(env.root()).mkpath("fakebin");
        const QString fake = env.root() + "/fakebin/openssl";
        QFile script(fake);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho 'cannot write key' >&2\nexit 2\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env.prependPath(env.root() + "/fakebin");

        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QCOMPARE(launched.exitCode, 1);
        QVERIFY2(launched.standardError.endsWith("Critical: Failed to run the program \"openssl\": cannot write key\n"),
                 launched.standardError.constData());
        QVERIFY(!QFile::exists(env.userFile("server_pid")));
        QVERIFY(server.log().contains("Critical: Failed to run the program \"openssl\": cannot write key"));
    }

    // The server never listens on the viewer port of one of its displays: a port the system picks
    // there is given back, and one set there is refused.
    void listenPortStaysOutOfTheViewerPorts()
    {
        TestEnvironment env;
        QVERIFY(env.createUserPath());
        // Viewer ports 41000 to 60999: seven in ten of the ports the system hands out for port 0.
        env.setSetting("DisplayBase", 0);
        env.setSetting("DisplayLimit", 20000);
        for (int start = 0; start < 3; ++start) {
            ServerRunner server(env);
            QCOMPARE(server.launch().exitCode, 0);
            QVERIFY2(server.port() > 0 && (server.port() < 41000 || server.port() > 60999),
                     qPrintable(QString::number(server.port())));
            QVERIFY(server.stop(SIGTERM));
        }
        env.setSetting("ListenPort", 41234);
        ServerRunner server(env);
        const LaunchResult launched = server.launch();
        QCOMPARE(launched.exitCode, 1);
        QVERIFY2(launched.standardError.endsWith("Critical: Failed to listen for SSL connections on port \"41234\": it is "
                                                 "the viewer port of a display (ports 41000 to 60999 are kept for the "
                                                 "displays)\n"),
                 launched.standardError.constData());
    }

    void hangupReopensTheLog()
    {
        TestEnvironment env;
        env.setSetting("LogLevel", "Debug1");
        QVERIFY(env.createUserPath());
        ServerRunner server(env);
        QCOMPARE(server.launch().exitCode, 0);
        const QString log = env.userFile("server_log");
        QVERIFY(QFile::rename(log, log + ".1"));
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(readText(log + ".1").contains("Got signal 'HUP'"), 10000);
        QVERIFY(ServerRunner::isProcessAlive(server.pid()));

        // A HUP right before the INT that ends the server is still logged and handled, in order.
        QVERIFY(::kill(pid_t(server.pid()), SIGHUP) == 0);
        QVERIFY(server.stop(SIGINT));
        const QString text = readText(log);
        QVERIFY2(text.indexOf("Got signal 'HUP'") >= 0, qPrintable(text));
        QVERIFY2(text.indexOf("Got signal 'HUP'") < text.indexOf("Got signal 'INT'"), qPrintable(text));
        QVERIFY(text.indexOf("Got signal 'INT'") < text.indexOf("Exiting the server"));
        QVERIFY(!readText(log + ".1").contains("Exiting the server"));
    }

    // With no session and no client the real program ends by itself. The countdown is shortened
    // through the variable that exists for tests; the wiring is the one of every start.
    void idleServerEndsByItself()
    {
        TestEnvironment env;
        env.setVariable("LUMEN_SERVER_IDLE_EXIT_MS", "1500");
        QVERIFY(env.createUserPath());
        ServerRunner server(env);
        QCOMPARE(server.launch().exitCode, 0);
        const qint64 pid = server.pid();
        QVERIFY(pid > 0);
        QVERIFY(server.waitForExit(30000));
        QVERIFY(server.log().contains(": Info: Exiting the server"));
        QVERIFY(!QFile::exists(env.userFile("server_pid")));
        QVERIFY(!QFile::exists(env.userFile("server_port")));
    }
};

QTEST_GUILESS_MAIN(ServerStartupTest)
#include "tst_server_startup.moc"

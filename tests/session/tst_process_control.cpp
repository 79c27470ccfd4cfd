// Following and steering a session's agent: refresh, the signals and the four waits, against the
// stand-in agent of tests/fixtures and against plain processes standing in for its launcher.

#include "tests/support/log_capture.h"
#include "session_test_agents.h"
#include "session_test_files.h"

#include "server/session/agent_watch.h"
#include "server/session/error_code.h"
#include "server/session/launcher_state.h"
#include "server/session/session_runtime.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// This test's displays: [firstDisplay, endDisplay).
constexpr quint16 firstDisplay = 140;
constexpr quint16 endDisplay = 150;
constexpr int agentWaitMs = 5000;
}

class TestProcessControl : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temporary;
    LogCapture recorder;
    QList<SessionRuntime *> agents;
    QList<QProcess *> launchers;
    int sessionCount = 0;

    QString newSessionDir()
    {
        const QString dir = QDir(temporary.path()).filePath(QString("C-%1").arg(++sessionCount));
        QDir().mkpath(dir);
        return dir;
    }

    // Starts the stand-in agent with the switches of its "fake_agent_mode" file.
    SessionRuntime *startAgent(const QByteArray &modes = QByteArray())
    {
        const QString dir = newSessionDir();
        if (!modes.isEmpty() && !writeBytes(QDir(dir).filePath("fake_agent_mode"), modes)) {
            return nullptr;
        }
        auto *runtime = new SessionRuntime;
        agents << runtime;
        if (runtime->startAgent(dir, firstDisplay, endDisplay, "1024x768", "xterm") != 0) {
            return nullptr;
        }
        // Signals can reach the agent only once it has said where to send them.
        const QString pidFile = QDir(dir).filePath("server_pid");
        if (!modes.contains("no-server-pid")) {
            QElapsedTimer timer;
            timer.start();
            while (!QFile::exists(pidFile) && timer.elapsed() < agentWaitMs) {
                QTest::qWait(10);
            }
        }
        return runtime;
    }

    // A loaded session whose launcher is a sleeping process working in `workingDirectory` (the
    // session directory when empty).
    QString loadWithSleeper(SessionRuntime &runtime, const QString &workingDirectory = QString())
    {
        const QString dir = newSessionDir();
        auto *sleeper = new QProcess(this);
        launchers << sleeper;
        sleeper->setWorkingDirectory(workingDirectory.isEmpty() ? dir : workingDirectory);
        sleeper->start("sleep", {"60"});
        if (!sleeper->waitForStarted(5000) || !writeSessionDirectory(dir, firstDisplay, sleeper->processId())
            || runtime.load(dir) != 0) {
            return QString();
        }
        return dir;
    }

    QString loadWithPid(SessionRuntime &runtime, qint64 pid)
    {
        const QString dir = newSessionDir();
        return writeSessionDirectory(dir, firstDisplay, pid) && runtime.load(dir) == 0 ? dir : QString();
    }

    // Asks the stand-in agent to act as if a viewer did something (see its control files).
    static bool control(const SessionRuntime &runtime, const char *file, const QByteArray &content = QByteArray())
    {
        const QString path = QDir(runtime.path()).filePath(QString::fromLatin1(file));
        return writeBytes(path + ".new", content) && QFile::rename(path + ".new", path);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temporary.isValid());
        qputenv("PATH", QString(QString(LUMEN_FIXTURES_DIR) + ":" + qEnvironmentVariable("PATH")).toUtf8());
        for (int display = firstDisplay; display < endDisplay; ++display) {
            QVERIFY2(!QFile::exists(QString("/tmp/Xrdp_%1.sock").arg(display)), "an agent uses this test's displays");
        }
    }

    void init() { recorder.clear(); }

    void cleanup()
    {
        for (SessionRuntime *runtime : std::as_const(agents)) {
            stopAgent(*runtime);
            delete runtime;
        }
        agents.clear();
        for (QProcess *launcher : std::as_const(launchers)) {
            launcher->kill();
            launcher->waitForFinished(5000);
            delete launcher;
        }
        launchers.clear();
    }

    void operationsNeedASession()
    {
        SessionRuntime runtime;
        QCOMPARE(runtime.refresh(), int(NotInitialized));
        QCOMPARE(runtime.sendSignal(SIGUSR1), int(NotInitialized));
        QCOMPARE(runtime.waitForExit(0), int(NotInitialized));
        QCOMPARE(runtime.waitForStarted(0), int(NotInitialized));
        QCOMPARE(runtime.waitForNewPassword(0), int(NotInitialized));
        QCOMPARE(runtime.waitForDisconnect(0), int(NotInitialized));
    }

    void goneLauncherLeavesItsExitStatus()
    {
        SessionRuntime runtime;
        const QString dir = loadWithPid(runtime, unusedPid());
        QVERIFY(!dir.isEmpty());
        const QString exitFile = QDir(dir).filePath("server_exit");

        QCOMPARE(runtime.refresh(), int(ReadFileFailed));
        QVERIFY(runtime.exited());
        QVERIFY(runtime.failed());
        QCOMPARE(runtime.exitCode(), -1);
        QCOMPARE(recorder.warnings().size(), 1);
        QVERIFY2(recorder.warnings().first().startsWith(QString("Failed to open the file \"%1\": ").arg(exitFile)),
                 qPrintable(recorder.warnings().first()));

        QVERIFY(writeBytes(exitFile, "3"));
        QCOMPARE(runtime.refresh(), 0);
        QVERIFY(runtime.exited());
        QVERIFY(!runtime.failed());
        QCOMPARE(runtime.exitCode(), 3);

        // An unreadable status later keeps the last one read.
        QVERIFY(writeBytes(exitFile, "none"));
        QCOMPARE(runtime.refresh(), int(ReadFileFailed));
        QCOMPARE(runtime.exitCode(), 3);
    }

    void reusedProcessIdWorkingElsewhereCountsAsGone()
    {
        SessionRuntime runtime;
        const QString dir = loadWithSleeper(runtime, temporary.path());
        QVERIFY(!dir.isEmpty());
        QVERIFY(writeBytes(QDir(dir).filePath("server_exit"), "0"));
        QCOMPARE(runtime.refresh(), 0);
        QVERIFY(runtime.exited());
        QCOMPARE(runtime.exitCode(), 0);
    }

    void endedLauncherNotYetReapedCountsAsGone()
    {
        // A zombie still has its /proc entry, but no working directory any more.
        const QString dir = newSessionDir();
        const pid_t child = ::fork();
        if (child == 0) {
            if (::chdir(QFile::encodeName(dir).constData()) != 0) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        QVERIFY(child > 0);
        QTRY_VERIFY_WITH_TIMEOUT(readBytes(QString("/proc/%1/stat").arg(child)).contains(") Z "), 5000);
        QVERIFY(writeSessionDirectory(dir, firstDisplay, child));
        QVERIFY(writeBytes(QDir(dir).filePath("server_exit"), "7"));
        SessionRuntime runtime;
        QCOMPARE(runtime.load(dir), 0);
        const int result = runtime.refresh();
        ::waitpid(child, nullptr, 0);
        QCOMPARE(result, 0);
        QVERIFY(runtime.exited());
        QCOMPARE(runtime.exitCode(), 7);
    }

    void leftoverExitStatusOfALiveLauncherIsIgnored()
    {
        SessionRuntime runtime;
        const QString dir = loadWithSleeper(runtime);
        QVERIFY(!dir.isEmpty());
        QVERIFY(writeBytes(QDir(dir).filePath("server_exit"), "5"));
        QCOMPARE(runtime.refresh(), 0);
        QVERIFY(!runtime.exited());
        QVERIFY(!runtime.failed());
        QCOMPARE(runtime.exitCode(), -1);
    }

    void waitForExitOfAGoneAgentReturnsAtOnce()
    {
        SessionRuntime runtime;
        const QString dir = loadWithPid(runtime, unusedPid());
        QVERIFY(!dir.isEmpty());
        QCOMPARE(runtime.waitForExit(agentWaitMs), int(ReadFileFailed));
        QVERIFY(writeBytes(QDir(dir).filePath("server_exit"), "0"));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runtime.waitForExit(agentWaitMs), 0);
        QVERIFY2(timer.elapsed() < 45, qPrintable(QString::number(timer.elapsed())));
    }

    void timeOutZeroNeverSleeps()
    {
        SessionRuntime runtime;
        const QString dir = loadWithSleeper(runtime);
        QVERIFY(!dir.isEmpty());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runtime.waitForStarted(0), int(AgentTimeout));
        QVERIFY2(timer.elapsed() < 45, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(writeBytes(QDir(dir).filePath("server_log"), "RDP initialized at '2014-03-05T17:04:09'\n"));
        QCOMPARE(runtime.waitForStarted(0), 0);
        QVERIFY(runtime.started().isValid());
    }

    void sessionLifeInTheManagersOrder()
    {
        SessionRuntime *runtime = startAgent("start-delay=200");
        QVERIFY(runtime);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runtime->waitForStarted(agentWaitMs), 0);
        QVERIFY2(timer.elapsed() >= 150, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(runtime->started().isValid());
        QCOMPARE(runtime->startApplication("xterm"), 0);

        QCOMPARE(runtime->sendSignal(SIGUSR1), 0);
        QCOMPARE(runtime->waitForNewPassword(agentWaitMs), 0);
        QCOMPARE(runtime->passwords().size(), 1);
        const QString password = runtime->passwords().last();
        QVERIFY(!password.isEmpty());

        // A viewer uses the password: the list changes too.
        QVERIFY(control(*runtime, "fake_agent_connect", "10.1.2.3:4000"));
        QCOMPARE(runtime->waitForNewPassword(agentWaitMs), 0);
        QVERIFY(runtime->passwords().isEmpty());
        QCOMPARE(runtime->clients(), 1);
        QVERIFY(runtime->lastConnect().isValid());

        QCOMPARE(runtime->sendSignal(SIGUSR2), 0);
        QCOMPARE(runtime->waitForDisconnect(agentWaitMs), 0);
        QCOMPARE(runtime->clients(), 0);
        QVERIFY(runtime->lastDisconnect().isValid());

        // An expiring password is a change of the list as well.
        QCOMPARE(runtime->sendSignal(SIGUSR1), 0);
        QCOMPARE(runtime->waitForNewPassword(agentWaitMs), 0);
        QVERIFY(control(*runtime, "fake_agent_expire"));
        QCOMPARE(runtime->waitForNewPassword(agentWaitMs), 0);
        QVERIFY(runtime->passwords().isEmpty());

        QCOMPARE(runtime->sendSignal(SIGTERM), 0);
        QCOMPARE(runtime->waitForExit(agentWaitMs), 0);
        QVERIFY(runtime->exited());
        QCOMPARE(runtime->exitCode(), 0);
        QVERIFY(recorder.warnings().isEmpty());
    }

    void waitsTimeOut_data()
    {
        QTest::addColumn<QByteArray>("modes");
        QTest::addColumn<int>("signal");
        QTest::newRow("never starts") << QByteArray("never-starts") << 0;
        QTest::newRow("no password") << QByteArray("ignore-usr1") << SIGUSR1;
        QTest::newRow("no disconnect") << QByteArray("ignore-usr2") << SIGUSR2;
        QTest::newRow("no exit") << QByteArray("ignore-term") << SIGTERM;
    }

    void waitsTimeOut()
    {
        QFETCH(QByteArray, modes);
        QFETCH(int, signal);
        SessionRuntime *runtime = startAgent(modes);
        QVERIFY(runtime);
        if (signal != 0) {
            QCOMPARE(runtime->waitForStarted(agentWaitMs), 0);
            QCOMPARE(runtime->sendSignal(signal), 0);
        }
        QElapsedTimer timer;
        timer.start();
        int result = 0;
        switch (signal) {
        case 0: result = runtime->waitForStarted(300); break;
        case SIGUSR1: result = runtime->waitForNewPassword(300); break;
        case SIGUSR2: result = runtime->waitForDisconnect(300); break;
        default: result = runtime->waitForExit(300); break;
        }
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(result, int(AgentTimeout));
        QVERIFY2(elapsed >= 300 && elapsed < 1000, qPrintable(QString::number(elapsed)));
        if (signal == SIGTERM) {
            // The clean-up's SIGTERM would be ignored as well.
            QCOMPARE(::kill(pid_t(readBytes(QDir(runtime->path()).filePath("server_pid")).toInt()), SIGKILL), 0);
        }
    }

    void agentThatEndsWhileWaitedFor_data()
    {
        QTest::addColumn<QByteArray>("modes");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("leaves its status")
            << QByteArray("never-starts,exit-after=300,exit-code=4") << int(UnknownError) << 4;
        QTest::newRow("dies without status") << QByteArray("never-starts,exit-after=300,die-without-exit")
                                             << int(ReadFileFailed) << -1;
    }

    void agentThatEndsWhileWaitedFor()
    {
        QFETCH(QByteArray, modes);
        QFETCH(int, result);
        QFETCH(int, exitCode);
        SessionRuntime *runtime = startAgent(modes);
        QVERIFY(runtime);
        QCOMPARE(runtime->waitForStarted(agentWaitMs), result);
        QVERIFY(runtime->exited());
        QCOMPARE(runtime->failed(), result == ReadFileFailed);
        QCOMPARE(runtime->exitCode(), exitCode);
    }

    void waitWithoutTimeLimitEndsWithTheAgent()
    {
        qputenv("FAKE_AGENT_MODE", "exit-after=200,exit-code=2");
        SessionRuntime *runtime = startAgent();
        qunsetenv("FAKE_AGENT_MODE");
        QVERIFY(runtime);
        QCOMPARE(runtime->waitForExit(-1), 0);
        QCOMPARE(runtime->exitCode(), 2);
    }

    // The waits look again as soon as the agent writes one of its files or its launcher ends; other
    // writes in the directory leave a wait to its time limit.
    void agentWatchWakesOnTheAgentsChangesOnly()
    {
        SessionRuntime runtime;
        const QString dir = loadWithSleeper(runtime);
        QVERIFY(!dir.isEmpty());
        const qint64 launcherPid = readBytes(QDir(dir).filePath("monitor_pid")).toLongLong();
        {
            // A wait that ended with a change of the agent unread: the waits of a thread share their
            // inotify instance, and the next must not take that change for one of its own.
            AgentWatch earlier(dir, qint32(launcherPid));
            appendBytes(QDir(dir).filePath("server_log"), "Added new password z\n");
        }
        AgentWatch watch(dir, qint32(launcherPid));
        const auto waitWhile = [&watch](const std::function<void()> &change, int limitMs) {
            std::thread changer([&change] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                change();
            });
            QElapsedTimer timer;
            timer.start();
            QString error;
            const bool waited = watch.waitForChange(limitMs, error);
            const qint64 elapsed = timer.elapsed();
            changer.join();
            return waited ? elapsed : -1;
        };

        qint64 elapsed = waitWhile([&dir] { appendBytes(QDir(dir).filePath("xserver_log"), "noise\n"); }, 200);
        QVERIFY2(elapsed >= 200, qPrintable(QString::number(elapsed)));
        elapsed = waitWhile([&dir] { appendBytes(QDir(dir).filePath("server_log"), "Added new password a\n"); }, 5000);
        QVERIFY2(elapsed >= 0 && elapsed < 2500, qPrintable(QString::number(elapsed)));
        elapsed = waitWhile([launcherPid] { ::kill(pid_t(launcherPid), SIGKILL); }, 5000);
        QVERIFY2(elapsed >= 0 && elapsed < 2500, qPrintable(QString::number(elapsed)));
    }

    // A launcher that ends while it is looked at is gone, never unknown (a terminate that worked
    // would be reported as failed): while its parent collects it, /proc may answer "no such process".
    // The moment is short, so many launchers end here, each collected while the look goes on.
    void launcherCollectedWhileLookedAtIsGone()
    {
        int unknown = 0;
        for (int round = 0; round < 600; ++round) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::pause();
                ::_exit(0);
            }
            QVERIFY(pid > 0);
            std::atomic<bool> collected{false};
            ::kill(pid, SIGKILL);
            std::thread parent([pid, &collected] {
                ::waitpid(pid, nullptr, 0);
                collected = true;
            });
            while (!collected) {
                unknown += launcherState(qint32(pid), temporary.path()) == LauncherState::Unknown;
            }
            parent.join();
        }
        QCOMPARE(unknown, 0);
    }

    void informationComesFromTheAgentSocketWhileItIsThere()
    {
        SessionRuntime *runtime = startAgent("socket");
        QVERIFY(runtime);
        const QString socketPath = QString("/tmp/Xrdp_%1.sock").arg(runtime->display());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socketPath), agentWaitMs);
        QCOMPARE(runtime->waitForStarted(agentWaitMs), 0);
        // Only the socket tells the screen size the agent started with.
        QCOMPARE(runtime->screenSize(), QSize(1024, 768));
        QCOMPARE(runtime->sendSignal(SIGUSR1), 0);
        QCOMPARE(runtime->waitForNewPassword(agentWaitMs), 0);
        QCOMPARE(runtime->passwords().size(), 1);

        // A second agent on the range gets another display.
        SessionRuntime *second = startAgent();
        QVERIFY(second);
        QVERIFY(second->display() != runtime->display());

        QCOMPARE(runtime->sendSignal(SIGTERM), 0);
        QCOMPARE(runtime->waitForExit(agentWaitMs), 0);
        QVERIFY(!QFile::exists(socketPath));
    }

    void signalFailures()
    {
        SessionRuntime *runtime = startAgent("no-server-pid");
        QVERIFY(runtime);
        // Up and running, so that it handles the SIGTERM at the end.
        QCOMPARE(runtime->waitForStarted(agentWaitMs), 0);
        const QString pidFile = QDir(runtime->path()).filePath("server_pid");
        QCOMPARE(runtime->sendSignal(SIGUSR1), int(ReadFileFailed));
        QCOMPARE(recorder.warnings().size(), 1);
        QVERIFY2(recorder.warnings().first().startsWith(QString("Failed to open the file \"%1\": ").arg(pidFile)),
                 qPrintable(recorder.warnings().first()));

        recorder.clear();
        const qint64 gone = unusedPid();
        QVERIFY(writeBytes(pidFile, QByteArray::number(gone)));
        QCOMPARE(runtime->sendSignal(SIGUSR1), int(UnknownError));
        QCOMPARE(recorder.warnings(),
                 QStringList{QString("Failed to signal the process with pid \"%1\": %2")
                                 .arg(QString::number(gone), qt_error_string(ESRCH))});

        // A live process of the user that is not the agent: it works elsewhere, so it is refused
        // like an unreadable id and is not signalled.
        QProcess stranger;
        stranger.setWorkingDirectory(temporary.path());
        stranger.start("sleep", {"60"});
        QVERIFY(stranger.waitForStarted(5000));
        QVERIFY(writeBytes(pidFile, QByteArray::number(stranger.processId())));
        for (const int signal : {SIGUSR1, SIGTERM}) {
            recorder.clear();
            QCOMPARE(runtime->sendSignal(signal), int(ReadFileFailed));
            QCOMPARE(recorder.warnings(),
                     QStringList{QString("The process with pid \"%1\" is not the agent of the session in \"%2\"")
                                     .arg(QString::number(stranger.processId()), runtime->path())});
        }
        QVERIFY(!stranger.waitForFinished(200));
        QCOMPARE(stranger.state(), QProcess::Running);
        stranger.kill();
        stranger.waitForFinished(5000);

        // The null signal: were these ids passed on, the call would succeed for the whole group.
        for (const QByteArray &id : {QByteArray("0"), QByteArray("-1"), QByteArray(" -42")}) {
            recorder.clear();
            QVERIFY(writeBytes(pidFile, id));
            QCOMPARE(runtime->sendSignal(0), int(ReadFileFailed));
            QCOMPARE(recorder.warnings().size(), 1);
            const QString warning = recorder.warnings().first();
            QVERIFY2(warning.contains(pidFile) && warning.contains(id.trimmed()), qPrintable(warning));
        }

        // The agent itself still ends on request; its id is in "monitor_pid" here.
        QVERIFY(writeBytes(pidFile, readBytes(QDir(runtime->path()).filePath("monitor_pid"))));
        QCOMPARE(runtime->sendSignal(SIGTERM), 0);
        QCOMPARE(runtime->waitForExit(agentWaitMs), 0);
    }

    void signalToAMissingDirectory()
    {
        SessionRuntime runtime;
        const QString dir = loadWithPid(runtime, unusedPid());
        QVERIFY(!dir.isEmpty());
        QVERIFY(QDir(dir).removeRecursively());
        recorder.clear();
        QCOMPARE(runtime.sendSignal(SIGUSR1), int(NotASessionPath));
        QCOMPARE(recorder.warnings(), QStringList{QString("The directory \"%1\" does not exist").arg(dir)});
    }
};

QTEST_GUILESS_MAIN(TestProcessControl)
#include "tst_process_control.moc"

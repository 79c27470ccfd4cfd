#include "server/process/idle_exit.h"
#include "server/manager/session_manager.h"
#include "server/session/session_id.h"
#include "server/session/session_runtime.h"
#include "server/session/display_lease.h"
#include "server/session/session_stage.h"
#include "server/session/session_starter.h"

#include "tests/support/log_capture.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUuid>
#include <QtConcurrent>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <utime.h>

// The store in-process, with the stand-in agent: the rules that would otherwise take minutes to see
// through the server.
class SessionStoreTest : public QObject
{
    Q_OBJECT

private:
    LogCapture recorder;
    QTemporaryDir root;
    QString sessions;

    static QString newId() { return QUuid::createUuid().toString(QUuid::Id128); }

    QString dirOf(const QString &id) const { return sessionDirectory(sessions, id); }

    bool control(const QString &id, const QString &name) const
    {
        QFile file(dirOf(id) + "/" + name + ".tmp");
        if (!file.open(QIODevice::WriteOnly)) {
            return false;
        }
        file.close();
        return QFile::rename(file.fileName(), dirOf(id) + "/" + name);
    }

    QString startedSession(SessionManager &store)
    {
        const QString id = newId();
        const int status = store.start(id, "xterm", "800x600").status;
        if (status != 0) {
            qWarning() << "the start failed with" << status << recorder.warnings();
            return QString();
        }
        return id;
    }

    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QString logOf(const QString &dir)
    {
        QFile file(dir + "/server_log");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        qputenv("PATH", QByteArray(LUMEN_FIXTURES_DIR) + ":" + qgetenv("PATH"));
    }

    void init()
    {
        sessions = root.filePath(QString("sessions-%1").arg(QTest::currentTestFunction()));
        QVERIFY(QDir().mkpath(sessions));
    }

    void suspendCheckEndsOnlyAbandonedSessions()
    {
        SessionManager store(sessions, 100, 120, QString());
        const QString neverSeen = startedSession(store);
        const QString abandoned = startedSession(store);
        const QString watched = startedSession(store);
        QVERIFY(!neverSeen.isEmpty() && !abandoned.isEmpty() && !watched.isEmpty());

        QVERIFY(control(abandoned, "fake_agent_connect"));
        QTRY_VERIFY(logOf(dirOf(abandoned)).contains("Client authenticated"));
        QVERIFY(control(abandoned, "fake_agent_disconnect"));
        QTRY_VERIFY(logOf(dirOf(abandoned)).contains("Client disconnected"));
        QVERIFY(control(watched, "fake_agent_connect"));
        QTRY_VERIFY(logOf(dirOf(watched)).contains("Client authenticated"));
        store.updateSessions(); // the store learns what the agents logged

        store.checkSuspendTimeouts(60); // an hour has not passed yet
        QTest::qWait(200);
        QCOMPARE(store.updateSessions().size(), 3);

        store.checkSuspendTimeouts(0);
        QTRY_COMPARE(store.updateSessions().size(), 2);
        QVERIFY(!QFile::exists(dirOf(abandoned)));
        SessionRecordList left;
        QCOMPARE(store.listLocalSessions(left), 0);
        QStringList ids = {left[0].id(), left[1].id()};
        ids.sort();
        QStringList expected = {neverSeen, watched};
        expected.sort();
        QCOMPARE(ids, expected);
        for (const QString &id : expected) {
            QCOMPARE(store.terminate(id), 0);
        }
    }

    void loadedSessionsHoldOffIdleExit()
    {
        const int before = IdleExit::global().sessionCount();
        QString id;
        {
            SessionManager first(sessions, 100, 120, QString());
            id = startedSession(first);
            QVERIFY(!id.isEmpty());
            QCOMPARE(IdleExit::global().sessionCount(), before + 1);
        }
        QCOMPARE(IdleExit::global().sessionCount(), before);
        QDir().mkpath(sessions + "/not-a-session");
        QDir().mkpath(sessions + "/C-" + QString(32, 'z'));

        SessionManager again(sessions, 100, 120, QString());
        QCOMPARE(IdleExit::global().sessionCount(), before + 1);
        SessionRecordList list;
        QCOMPARE(again.listLocalSessions(list), 0);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0].id(), id);
        QCOMPARE(again.terminate(id), 0);
        QCOMPARE(IdleExit::global().sessionCount(), before);
        QCOMPARE(again.terminate(id), -94);
    }

    // Also against a display held by another process's start (a batch job's): its lease is seen.
    void concurrentStartsGetTheirOwnDisplays()
    {
        DisplayLease elsewhere(root.filePath("displays"));
        QVERIFY(elsewhere.take(100));
        SessionManager store(sessions, 100, 120, QString());
        QList<QFuture<QString>> starts;
        for (int i = 0; i < 4; ++i) {
            starts << QtConcurrent::run([this, &store] { return startedSession(store); });
        }
        QSet<QString> displays;
        QStringList ids;
        for (QFuture<QString> &start : starts) {
            const QString id = start.result();
            QVERIFY(!id.isEmpty());
            ids << id;
            QFile file(dirOf(id) + "/display");
            QVERIFY(file.open(QIODevice::ReadOnly));
            displays << QString::fromLatin1(file.readAll());
        }
        QCOMPARE(displays.size(), 4);
        QVERIFY(!displays.contains("100"));
        for (const QString &id : ids) {
            QCOMPARE(store.terminate(id), 0);
        }
    }

    // What a server killed in the middle of a start or a removal leaves behind, and what the next
    // one makes of it: a start whose agent is recorded gets its application, once, with the whole
    // command; every other half-made session is ended and its directory removed. A complete session
    // loads as it is.
    void halfMadeSessionsAreCompletedOrEnded()
    {
        QString complete;
        {
            SessionManager first(sessions, 100, 120, QString());
            complete = startedSession(first);
            QVERIFY(!complete.isEmpty());
        }
        // Agents launched the way a start launches them, each on a display of its own.
        QSet<quint16> displays;
        const auto launchAgent = [&](const QString &id) {
            SessionRuntime runtime;
            const auto claim = [&displays](quint16 display) { return !displays.contains(display); };
            const bool launched = runtime.startAgent(dirOf(id), 100, 120, "800x600", "xterm -title one", claim) == 0;
            displays << runtime.display();
            return launched;
        };
        const QString agentOnly = newId();
        const QString applicationMaybe = newId();
        const QString unrecorded = newId();
        QVERIFY(launchAgent(agentOnly) && launchAgent(applicationMaybe) && launchAgent(unrecorded));
        QString error;
        QVERIFY(SessionStage::write(dirOf(applicationMaybe), SessionStage::StartingApplication, error));
        QVERIFY(SessionStage::write(dirOf(unrecorded), SessionStage::Preparing, error));
        const qint64 unrecordedAgent = readAll(dirOf(unrecorded) + "/monitor_pid").toLongLong();
        QVERIFY(QFile::remove(dirOf(unrecorded) + "/monitor_pid"));
        const qint64 endedAgent = readAll(dirOf(applicationMaybe) + "/monitor_pid").toLongLong();
        const QString prepared = newId();
        QVERIFY(QDir().mkpath(dirOf(prepared)));
        QVERIFY(SessionStage::write(dirOf(prepared), SessionStage::Preparing, error));
        QFile(dirOf(prepared) + "/display").open(QIODevice::WriteOnly);
        const QString halfRemoved = newId();
        QVERIFY(QDir().mkpath(dirOf(halfRemoved)));
        QVERIFY(SessionStage::write(dirOf(halfRemoved), SessionStage::Removing, error));
        QFile(dirOf(halfRemoved) + "/server_log").open(QIODevice::WriteOnly);
        const QString empty = newId();
        QVERIFY(QDir().mkpath(dirOf(empty)));
        const QString neverRenamed = sessions + "/.C-" + newId() + ".new";
        QVERIFY(QDir().mkpath(neverRenamed));
        const utimbuf anHourAgo = {::time(nullptr) - 3600, ::time(nullptr) - 3600};
        QCOMPARE(::utime(QFile::encodeName(neverRenamed).constData(), &anHourAgo), 0);

        SessionManager store(sessions, 100, 120, QString());
        // Nothing ran in these: gone at once.
        for (const QString &id : {prepared, halfRemoved, empty}) {
            QVERIFY2(!QFile::exists(dirOf(id)), qPrintable(id));
        }
        QVERIFY(!QFile::exists(neverRenamed));
        QTRY_VERIFY(!QFile::exists(dirOf(applicationMaybe)) && !QFile::exists(dirOf(unrecorded)));
        QTRY_VERIFY(!ServerRunner::isProcessAlive(endedAgent) && !ServerRunner::isProcessAlive(unrecordedAgent));
        SessionRecordList listed;
        QCOMPARE(store.listLocalSessions(listed), 0); // waits for the completion
        QStringList ids = {listed.value(0).id(), listed.value(1).id()};
        ids.sort();
        QStringList expected = {complete, agentOnly};
        expected.sort();
        QCOMPARE(ids, expected);
        QCOMPARE(listed.size(), 2);
        QTRY_VERIFY(QFile::exists(dirOf(agentOnly) + "/app_args"));
        QCOMPARE(readAll(dirOf(agentOnly) + "/app_args"), QByteArray(R"(["xterm -title one"])"));
        QCOMPARE(readAll(dirOf(agentOnly) + "/app_log").count("started "), 1);
        QVERIFY(!QFile::exists(dirOf(agentOnly) + "/stage"));
        QVERIFY(!QFile::exists(dirOf(complete) + "/stage"));
        for (const QString &id : expected) {
            QCOMPARE(store.terminate(id), 0);
        }
    }

    // A session that lumen-job makes while the server runs: left alone while its maker lives and the
    // start is under way, taken up (with its job) within a tick or two of completion; one whose maker
    // died half-way is ended, never completed by the server.
    void batchJobSessionsAreTakenUpWhileTheServerRuns()
    {
        SessionManager store(sessions, 100, 120, QString());
        QProcess maker; // stands in for lumen-job
        maker.start("sleep", {"60"});
        QVERIFY(maker.waitForStarted());
        const auto stopMaker = [&maker] {
            maker.kill();
            maker.waitForFinished();
        };
        const auto endMaker = qScopeGuard(stopMaker);
        quint64 ticks = 0;
        QVERIFY(SessionStarter::processStartTicks(maker.processId(), ticks));
        const QByteArray makerRecord = "job " + QByteArray::number(maker.processId()) + " " + QByteArray::number(ticks);
        // The two starts follow each other before either agent is up: each claims its own display.
        QSet<quint16> claimed;
        const auto makeAsJob = [&](const QString &id, SessionRuntime &runtime) {
            runtime.setStarter(SessionStarter::Job);
            const auto unclaimed = [&claimed](quint16 display) {
                if (display == 100 || claimed.contains(display)) {
                    return false;
                }
                claimed.insert(display);
                return true;
            };
            QFile record(dirOf(id) + "/starter");
            return runtime.startAgent(dirOf(id), 101, 120, "800x600", "xterm", unclaimed) == 0
                && record.open(QIODevice::WriteOnly | QIODevice::Truncate) && record.write(makerRecord) > 0;
        };
        const QString complete = newId();
        const QString abandoned = newId();
        SessionRuntime job;
        SessionRuntime unfinished;
        QVERIFY(makeAsJob(complete, job) && makeAsJob(abandoned, unfinished));
        QCOMPARE(job.waitForStarted(15000), 0);
        QVERIFY(store.updateSessions().isEmpty());
        QVERIFY(QFile::exists(dirOf(complete)) && QFile::exists(dirOf(abandoned)));

        QFile jobFile(dirOf(complete) + "/job");
        QVERIFY(jobFile.open(QIODevice::WriteOnly) && jobFile.write("4711") == 4);
        jobFile.close();
        QCOMPARE(job.startApplication("xterm"), 0);
        SessionRecordList listed = store.updateSessions();
        if (listed.isEmpty()) {
            listed = store.updateSessions();
        }
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].id(), complete);
        QCOMPARE(listed[0].job(), QString("4711"));

        const qint64 abandonedAgent = readAll(dirOf(abandoned) + "/monitor_pid").toLongLong();
        stopMaker();
        QTRY_VERIFY_WITH_TIMEOUT((store.updateSessions(), !QFile::exists(dirOf(abandoned))), 20000);
        QVERIFY(!ServerRunner::isProcessAlive(abandonedAgent));
        QVERIFY(!QFile::exists(dirOf(abandoned) + "/app_args"));
        QCOMPARE(store.terminate(complete), 0);
    }

    // Another socket takes the viewer port between the display search and the agent's bind: that
    // agent ends at once, and the start goes on with another display.
    void viewerPortTakenBeforeTheAgentListens()
    {
        QTemporaryDir wrapper;
        // The stand-in agent, behind a launcher that, on its first call only, takes the viewer port
        // it was given (as another program's socket might) just before the agent tries to listen.
        const QByteArray script = "#!/bin/sh\n"
                                  "if mkdir '" + wrapper.filePath("taken").toUtf8() + "' 2>/dev/null; then\n"
                                  "  /usr/bin/python3 -c 'import os, socket, sys, time\n"
                                  "os.chdir(\"/\")\n"
                                  "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                                  "s.bind((\"127.0.0.1\", int(sys.argv[1]))); s.listen(1)\n"
                                  "open(sys.argv[2] + \".tmp\", \"w\").write(str(os.getpid()))\n"
                                  "os.rename(sys.argv[2] + \".tmp\", sys.argv[2])\n"
                                  "time.sleep(30)' \"$2\" '" + wrapper.filePath("listener").toUtf8() + "' >/dev/null 2>&1 &\n"
                                  "  for wait in $(seq 500); do [ -e '" + wrapper.filePath("listener").toUtf8() + "' ] && break; sleep 0.01; done\n"
                                  "fi\n"
                                  "exec '" LUMEN_FIXTURES_DIR "/start-agent' \"$@\"\n";
        QFile launcher(wrapper.filePath("start-agent"));
        QVERIFY(launcher.open(QIODevice::WriteOnly) && launcher.write(script) == script.size());
        launcher.close();
        QVERIFY(launcher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", wrapper.path().toUtf8() + ":" + path);
        const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });

        recorder.clear();
        SessionManager store(sessions, 100, 120, QString());
        const QString id = newId();
        const SessionAccess access = store.start(id, "xterm", "800x600");
        const qint64 listener = readAll(wrapper.filePath("listener")).toLongLong();
        const auto endListener = qScopeGuard([listener] { ::kill(pid_t(listener), SIGKILL); });
        QCOMPARE(access.status, 0);
        QCOMPARE(recorder.count("Another socket took the viewer port"), 1);
        const QString taken = recorder.messages(Logging::Warning).join('\n').section('"', 1, 1);
        QVERIFY2(access.port != taken.toUInt(), qPrintable(taken));
        QVERIFY(taken.toUInt() >= 41100 && taken.toUInt() < 41120);
        // The directory holds the second agent's files only.
        QVERIFY(!readAll(dirOf(id) + "/server_log").contains("Failed to listen"));
        QVERIFY(readAll(dirOf(id) + "/agent_args").contains(QByteArray::number(access.port)));
        QCOMPARE(store.terminate(id), 0);
    }

    void leftoverFilesKeepTheDirectory()
    {
        QTemporaryDir dir;
        QFile(dir.filePath("display")).open(QIODevice::WriteOnly);
        QFile(dir.filePath(".hidden")).open(QIODevice::WriteOnly);
        QString message;
        QVERIFY(!SessionManager::removeSessionDirectory(dir.path(), message));
        QCOMPARE(message, QString("Failed to remove the directory \"%1\"").arg(dir.path()));
        QVERIFY(!QFile::exists(dir.filePath("display")));
        QVERIFY(QFile::exists(dir.filePath(".hidden")));
    }
};

QTEST_GUILESS_MAIN(SessionStoreTest)
#include "tst_session_store.moc"

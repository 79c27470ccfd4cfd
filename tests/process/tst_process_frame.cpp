#include "server/process/idle_exit.h"
#include "server/process/info_file.h"
#include "server/process/signal_catcher.h"
#include "server/process/single_instance.h"

#include "tests/support/log_capture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QLockFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

class ProcessFrameTest : public QObject
{
    Q_OBJECT

private:
    int sockets[2] = {-1, -1};
    LogCapture logger;

private slots:
    void initTestCase()
    {
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) == 0);
        signalWriteFd = sockets[0];
        logger.setLevel(Logging::Debug1);
    }

    // --- idle exit ---

    void idleServerExpires()
    {
        IdleExit idle;
        QSignalSpy expired(&idle, &IdleExit::expired);
        idle.start(100);
        QVERIFY(idle.isCounting());
        QVERIFY(expired.wait(2000));
    }

    void sessionsAndClientsHoldTheCountdown()
    {
        IdleExit idle;
        QSignalSpy expired(&idle, &IdleExit::expired);
        idle.sessionAdded(); // loaded from disk before the timer exists
        idle.start(150);
        QTest::qWait(20);
        QVERIFY(!idle.isCounting());

        idle.clientAdded();
        idle.sessionRemoved(); // a client is still there
        QTest::qWait(20);
        QVERIFY(!idle.isCounting());

        idle.clientRemoved(); // last one gone: a fresh countdown
        QTRY_VERIFY(idle.isCounting());
        QVERIFY(expired.wait(2000));
    }

    // What start-up calls: the countdown must end a running event loop, with status 0.
    void startUpWiringEndsTheEventLoop()
    {
        QTimer guard; // ends a loop that the countdown failed to end, with a status of its own
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(2); });
        guard.start(10000);
        QElapsedTimer clock;
        clock.start();
        startIdleExitTimer(100);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(clock.elapsed() >= 90);
        QVERIFY(guard.isActive());
    }

    void countsStayExactAcrossThreads()
    {
        IdleExit idle;
        idle.start(60000);
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([&idle] {
                for (int i = 0; i < 500; ++i) {
                    idle.sessionAdded();
                    idle.clientAdded();
                    idle.sessionRemoved();
                    idle.clientRemoved();
                }
            });
            threads.last()->start();
        }
        idle.clientAdded();
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        QCOMPARE(idle.sessionCount(), 0);
        QCOMPARE(idle.clientCount(), 1);
        QTest::qWait(50); // let the queued checks run
        QVERIFY(!idle.isCounting());
        idle.clientRemoved();
        QTRY_VERIFY(idle.isCounting());
    }

    // --- signal catcher ---

    void signalsBecomeQtSignalsInOrder()
    {
        SignalCatcher catcher(sockets[1]);
        QSignalSpy hup(&catcher, &SignalCatcher::gotHUP);
        QSignalSpy term(&catcher, &SignalCatcher::gotTERM);
        QSignalSpy any(&catcher, &SignalCatcher::gotSig);
        QStringList order;
        connect(&catcher, &SignalCatcher::gotTERM, this, [&] { order << "TERM"; });
        connect(&catcher, &SignalCatcher::gotSig, this, [&](int s) { order << QString::number(s); });
        logger.clear();

        catchSignal(SIGHUP);
        catchSignal(SIGTERM);
        QTRY_COMPARE(any.size(), 2);
        QCOMPARE(hup.size(), 1);
        QCOMPARE(term.size(), 1);
        QCOMPARE(order, QStringList({"1", "TERM", "15"}));
        QCOMPARE(logger.messages(), QStringList({"Got signal 'HUP'", "Got signal 'TERM'"}));
    }

    // Signals caught on two threads at once may reach the pair in either order; what ends the server
    // is handled after the rest, so a HUP that came with it is not lost.
    void endingSignalsComeAfterTheOthersCaughtWithThem()
    {
        SignalCatcher catcher(sockets[1]);
        QSignalSpy any(&catcher, &SignalCatcher::gotSig);
        logger.clear();
        catchSignal(SIGINT);
        catchSignal(SIGHUP);
        catchSignal(SIGTERM);
        catchSignal(SIGUSR1);
        QTRY_COMPARE(any.size(), 4);
        QCOMPARE(logger.messages(), QStringList({"Got signal 'HUP'", "Got signal 'USR1'", "Got signal 'INT'",
                                            "Got signal 'TERM'"}));
    }

    void unknownNumbersOnlyRaiseGotSig()
    {
        SignalCatcher catcher(sockets[1]);
        QSignalSpy any(&catcher, &SignalCatcher::gotSig);
        QSignalSpy usr1(&catcher, &SignalCatcher::gotUSR1);
        QSignalSpy term(&catcher, &SignalCatcher::gotTERM);
        logger.clear();
        const int32_t record = 3;
        QCOMPARE(::write(sockets[0], &record, sizeof record), ssize_t(sizeof record));
        catchSignal(SIGUSR1);
        QTRY_COMPARE(any.size(), 2);
        QCOMPARE(any.at(0).at(0).toInt(), 3);
        QCOMPARE(usr1.size(), 1);
        QCOMPARE(term.size(), 0);
        QCOMPARE(logger.messages().first(), QString("Got signal '3'"));
    }

    void shortRecordIsSkipped()
    {
        int pair[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
        {
            SignalCatcher catcher(pair[1]);
            QSignalSpy any(&catcher, &SignalCatcher::gotSig);
            const char half[2] = {1, 0};
            QCOMPARE(::write(pair[0], half, 2), ssize_t(2));
            QTest::qWait(100);
            QCOMPARE(any.size(), 0);
        }
        ::close(pair[0]);
        ::close(pair[1]);
    }

    // --- files that must not outlive the server ---

    void infoFileRemovesItsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("server_pid");
        {
            InfoFile unnamed; // no name: removes nothing
            InfoFile file;
            file.setFileName(path);
            QFile written(path);
            QVERIFY(written.open(QIODevice::WriteOnly));
            written.close();
        }
        QVERIFY(!QFile::exists(path));
    }

    // The lock lives in the user path: a server given another runtime folder (a batch job's, or a
    // login's folder made anew) still meets the one that runs; one of the previous release, which
    // holds only the lock in the runtime folder, is met as well.
    void singleInstanceIsExclusiveAndPrivate()
    {
        QTemporaryDir runtime;
        QTemporaryDir users;
        QVERIFY(QDir(users.path()).mkpath("ann") && QDir(users.path()).mkpath("bob") && QDir(users.path()).mkpath("carl"));
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QString error;
        SingleInstance first(users.filePath("ann"));
        QCOMPARE(first.lockPath(), users.filePath("ann/server.lock"));
        QVERIFY(first.previousLockPath().startsWith(runtime.path()));
        QCOMPARE(first.tryLock(error), SingleInstance::Outcome::Taken);
        SingleInstance other(users.filePath("bob"));
        QCOMPARE(other.tryLock(error), SingleInstance::Outcome::Taken);

        QLockFile previousRelease(runtime.filePath(SingleInstance::idFor(users.filePath("carl")) + ".lock"));
        QVERIFY(previousRelease.tryLock(0));
        SingleInstance besideOld(users.filePath("carl"));
        QCOMPARE(besideOld.tryLock(error), SingleInstance::Outcome::HeldByAnother);
        QVERIFY(!QFile::exists(users.filePath("carl/server.lock")));

        QTemporaryDir otherRuntime;
        QFile::setPermissions(otherRuntime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", otherRuntime.path().toLocal8Bit());
        SingleInstance second(users.filePath("ann"));
        QCOMPARE(second.tryLock(error), SingleInstance::Outcome::HeldByAnother);

        // A lock that cannot even be created is an error, not another server.
        SingleInstance nowhere(users.filePath("missing"));
        QCOMPARE(nowhere.tryLock(error), SingleInstance::Outcome::Failed);
        QCOMPARE(error, QString("Failed to create the lock file \"%1\"").arg(nowhere.lockPath()));
    }

    // The same files, however they are named and whatever USER says, give one id; other files another.
    void instanceIdComesFromTheUserAndTheResolvedPath()
    {
        QTemporaryDir home;
        QVERIFY(QDir(home.path()).mkpath("box1") && QDir(home.path()).mkpath("box2"));
        QVERIFY(QFile::link(home.filePath("box1"), home.filePath("alias")));
        const QByteArray user = qgetenv("USER");
        qputenv("USER", "ann");
        const QString id = SingleInstance::idFor(home.filePath("box1"));
        qputenv("USER", "bob");
        QCOMPARE(SingleInstance::idFor(home.filePath("box1")), id);
        qunsetenv("USER");
        QCOMPARE(SingleInstance::idFor(home.filePath("box1") + "/"), id);
        QCOMPARE(SingleInstance::idFor(home.filePath("alias")), id);
        QCOMPARE(SingleInstance::idFor(home.filePath("box2/../box1")), id);
        QVERIFY(SingleInstance::idFor(home.filePath("box2")) != id);
        QVERIFY(id.startsWith(QString("lumen_server-%1-").arg(::getuid())));
        qputenv("USER", user);
    }
};

QTEST_GUILESS_MAIN(ProcessFrameTest)
#include "tst_process_frame.moc"

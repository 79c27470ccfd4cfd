#include "server/process/process_spawner.h"
#include "server/process/program_runner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

// The runner turns every way a helper program can fail into one line a user can act on; a launcher
// is started on its own, and waited for once it ends.
class ProgramRunnerTest : public QObject
{
    Q_OBJECT

private slots:
    void successAndWorkingDirectory()
    {
        QTemporaryDir dir;
        QString error = "untouched";
        QVERIFY(runProgram("sh", {"-c", "touch here"}, dir.path(), 10000, error));
        QCOMPARE(error, QString("untouched"));
        QVERIFY(QFile::exists(dir.filePath("here")));
    }

    void failuresExplainThemselves_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not installed") << "no-such-program-xyz" << QStringList()
                                       << "Failed to run the program \"no-such-program-xyz\": execvp: No such file or directory";
        QTest::newRow("first stderr line only") << "sh" << QStringList({"-c", "echo one >&2; echo two >&2; exit 1"})
                                                << "Failed to run the program \"sh\": one";
        QTest::newRow("silent failure") << "sh" << QStringList({"-c", "exit 3"}) << "Failed to run the program \"sh\": ";
        QTest::newRow("killed") << "sh" << QStringList({"-c", "kill -KILL $$"})
                                << "Failed to run the program \"sh\": The process crashed";
    }

    void failuresExplainThemselves()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QString error;
        QVERIFY(!runProgram(program, arguments, QString(), 10000, error));
        if (QTest::currentDataTag() == QByteArray("not installed")) {
            // The reason is the process object's own text for a failed start.
            QVERIFY2(error.startsWith("Failed to run the program \"no-such-program-xyz\": "), qPrintable(error));
            QVERIFY(error.size() > expected.indexOf(": ") + 2);
        } else {
            QCOMPARE(error, expected);
        }
    }

    void timeLimitKillsTheProgram()
    {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath("pid");
        QString error;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!runProgram("sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 30"}, QString(), 500, error));
        QVERIFY(timer.elapsed() < 5000);
        QVERIFY2(error.startsWith("Failed to run the program \"sh\": "), qPrintable(error));
        QVERIFY2(error.contains("timed out", Qt::CaseInsensitive), qPrintable(error));
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const int pid = file.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid, 0) != 0); // gone, not left running behind the caller
    }

    // A session's launcher gets nothing of the server but its environment and its standard output
    // and error: its own session, standard input from /dev/null, no other descriptor (not even one
    // left open on exec), no blocked or ignored signal. Once it ends it is waited for: no zombie.
    void spawnedLauncherStandsAlone()
    {
        QTemporaryDir dir;
        const int leftOpen = ::open("/dev/null", O_RDONLY);
        QVERIFY(leftOpen > STDERR_FILENO);
        const auto restoreSigpipe = qScopeGuard([] { ::signal(SIGPIPE, SIG_DFL); });
        ::signal(SIGPIPE, SIG_IGN);
        qint64 pid = 0;
        QString error;
        const bool spawned = spawnDetached("sleep", {"30"}, dir.path(), pid, error);
        ::close(leftOpen);
        QVERIFY2(spawned, qPrintable(error));
        const auto ended = qScopeGuard([pid] { ::kill(pid_t(pid), SIGKILL); });
        const QString proc = QString("/proc/%1").arg(pid);

        QCOMPARE(::getsid(pid_t(pid)), pid_t(pid));
        // Looked at once the program sleeps: before the exec and while the loader opens its libraries
        // the list is not yet the program's own.
        const auto asleepInSleep = [&proc] {
            QFile stat(proc + "/stat");
            if (!QFile::symLinkTarget(proc + "/exe").endsWith("/sleep") || !stat.open(QIODevice::ReadOnly)) {
                return false;
            }
            const QByteArray text = stat.readAll();
            return text.mid(text.lastIndexOf(')') + 2, 1) == "S";
        };
        QTRY_VERIFY_WITH_TIMEOUT(asleepInSleep(), 5000);
        const QStringList descriptors =
            QDir(proc + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        QCOMPARE(descriptors, QStringList({"0", "1", "2"}));
        QCOMPARE(QFile::symLinkTarget(proc + "/fd/0"), QString("/dev/null"));
        QCOMPARE(QFileInfo(proc + "/cwd").canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());
        QFile status(proc + "/status");
        QVERIFY(status.open(QIODevice::ReadOnly));
        // The mask of a "Sig...:" line; of the ignored ones only the standard signals (1 to 31), since
        // the C library keeps the real-time ones it uses for itself out of any signal set.
        const QByteArray text = status.readAll();
        const auto mask = [&text](const QByteArray &name) {
            const int at = text.indexOf("\n" + name + ":\t");
            return at < 0 ? ~0ull : text.mid(at + name.size() + 3, 16).toULongLong(nullptr, 16);
        };
        QCOMPARE(mask("SigBlk"), 0ull);
        QCOMPARE(mask("SigIgn") & 0x7fffffffull, 0ull);

        QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(proc), 5000);
    }
};

QTEST_GUILESS_MAIN(ProgramRunnerTest)
#include "tst_program_runner.moc"

#include "server/process/program_runner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The runner turns every way a helper program can fail into one line a user can act on.
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
};

QTEST_GUILESS_MAIN(ProgramRunnerTest)
#include "tst_program_runner.moc"

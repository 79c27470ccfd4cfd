#include "common/file_logging.h"
#include "common/stderr_logging.h"
#include "tests/support/log_capture.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {
QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
}

class LoggingTest : public QObject
{
    Q_OBJECT

private slots:
    void thresholdFiltersBySeverity()
    {
        // Every logger starts at Info.
        QCOMPARE(StderrLogging().level(), int(Logging::Info));
        LogCapture logger;
        logger.setLevel(Logging::Info);
        for (int level = -1; level <= 7; ++level) {
            logger.log(level, QString::number(level));
        }
        QCOMPARE(logger.lines(), QStringList({": -1", "Critical: 0", "Warning: 1", "Info: 2"}));

        logger.clear();
        logger.setLevel(Logging::Debug3);
        logger.log(7, "too verbose");
        logger.log(Logging::Debug3, "kept");
        QCOMPARE(logger.lines(), QStringList({"Debug3: kept"}));
    }

    void levelNamesAreExact()
    {
        QCOMPARE(Logging::levelFromName("Debug1"), int(Logging::Debug1));
        QCOMPARE(Logging::levelFromName("Critical"), int(Logging::Critical));
        QCOMPARE(Logging::levelFromName("debug1"), int(Logging::Info));
        QCOMPARE(Logging::levelFromName(""), int(Logging::Info));
        QCOMPARE(Logging::levelName(7), QString());
        QCOMPARE(Logging::levelName(Logging::Warning), QString("Warning"));
    }

    void serverAndRelayLineForms()
    {
        const QString date = "[A-Z][a-z]{2} [1-9][0-9]? [0-2][0-9]:[0-5][0-9]:[0-5][0-9]";
        const QRegularExpression server("^" + date + ": Warning: disk full$");
        const QRegularExpression relay("^" + date + " Info: hello$");
        QVERIFY2(server.match(Logging::formatLine(Logging::Warning, "disk full")).hasMatch(),
                 qPrintable(Logging::formatLine(Logging::Warning, "disk full")));
        QVERIFY2(relay.match(StderrLogging::formatRelayLine(Logging::Info, "hello")).hasMatch(),
                 qPrintable(StderrLogging::formatRelayLine(Logging::Info, "hello")));
    }

    void relayLogsToStandardError()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("stderr");
        const int saved = ::dup(STDERR_FILENO);
        QVERIFY(freopen(qPrintable(path), "w", stderr));
        {
            StderrLogging logger;
            logger.log(Logging::Critical, "Failed to verify the server");
            logger.log(Logging::Debug1, "hidden");
        }
        fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        const QStringList lines = readAll(path).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().endsWith(" Critical: Failed to verify the server"));
    }

    void fileLoggerAppendsAndReportsOpenFailures()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("server_log");
        QFile existing(path);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("earlier line\n");
        existing.close();

        FileLogging logger;
        QString error;
        QVERIFY(!logger.open(dir.filePath("missing/server_log"), error));
        QCOMPARE(error, QString("Failed to open the file \"%1\": No such file or directory").arg(dir.filePath("missing/server_log")));
        QVERIFY(logger.open(path, error));
        logger.log(Logging::Info, "first");
        logger.log(Logging::Debug1, "dropped");
        const QStringList lines = readAll(path).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QString("earlier line"));
        QVERIFY(lines[1].endsWith(": Info: first"));
    }

    void reopenFollowsARotatedLog()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("server_log");
        FileLogging logger;
        QString error;
        QVERIFY(logger.open(path, error));
        logger.log(Logging::Info, "before rotation");
        QVERIFY(QFile::rename(path, path + ".1"));
        logger.log(Logging::Info, "still old file");
        logger.reopen();
        logger.log(Logging::Info, "after rotation");

        QVERIFY(readAll(path + ".1").contains("still old file"));
        QVERIFY(!readAll(path + ".1").contains("after rotation"));
        QVERIFY(readAll(path).contains("after rotation"));
    }

    void threadsNeverInterleaveLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("server_log");
        FileLogging logger;
        QString error;
        QVERIFY(logger.open(path, error));
        const QString payload(200, QLatin1Char('x'));
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([&logger, &payload, t] {
                for (int i = 0; i < 200; ++i) {
                    logger.log(Logging::Info, QString::number(t) + payload);
                }
            });
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        const QStringList lines = readAll(path).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 800);
        for (const QString &line : lines) {
            QVERIFY(line.endsWith(payload));
            QCOMPARE(line.count(QLatin1Char('x')), 200);
        }
    }
};

QTEST_GUILESS_MAIN(LoggingTest)
#include "tst_logging.moc"

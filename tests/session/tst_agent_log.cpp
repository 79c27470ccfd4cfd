// The agent's log: the grammar of its lines, how it is read, and that every line takes effect once
// however often the session is refreshed.

#include "session_test_files.h"

#include "server/session/agent_log_cursor.h"
#include "server/session/session_runtime.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
// Displays of this test's sessions; no agent socket may exist for them.
constexpr quint16 firstDisplay = 151;

QDateTime local(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}
}

class TestAgentLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temporary;
    QList<QProcess *> launchers;
    int sessionCount = 0;

    QString logFile(const QByteArray &content)
    {
        const QString path = QDir(temporary.path()).filePath(QString("log%1").arg(++sessionCount));
        return writeBytes(path, content) ? path : QString();
    }

    // Parses the content as a whole log into a fresh object.
    void parse(const QByteArray &content, SessionRuntime &runtime)
    {
        QString error;
        QVERIFY(runtime.parseAgentLog(logFile(content), error));
    }

    // A loaded session whose launcher (a sleeping process) works in its directory.
    QString startSession(SessionRuntime &runtime)
    {
        const QString dir = QDir(temporary.path()).filePath(QString("C-%1").arg(++sessionCount));
        auto *launcher = new QProcess(this);
        QDir().mkpath(dir);
        launcher->setWorkingDirectory(dir);
        launcher->start("sleep", {"120"});
        launchers << launcher;
        if (!launcher->waitForStarted(5000)
            || !writeSessionDirectory(dir, quint16(firstDisplay + sessionCount % 8), launcher->processId())
            || runtime.load(dir) != 0) {
            return QString();
        }
        return dir;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temporary.isValid());
        for (int display = firstDisplay; display < firstDisplay + 8; ++display) {
            QVERIFY2(!QFile::exists(QString("/tmp/Xrdp_%1.sock").arg(display)), "an agent uses this test's displays");
        }
    }

    void cleanupTestCase()
    {
        for (QProcess *launcher : std::as_const(launchers)) {
            launcher->kill();
            launcher->waitForFinished(5000);
        }
    }

    void everyLineKindHasItsEffect()
    {
        SessionRuntime runtime;
        parse("RDP initialized at '2014-03-05T17:04:09'\n"
              "Added new password first\n"
              "Added new password with spaces inside\n"
              "Added new password third\n"
              "Client authenticated from '10.0.0.7:50123' at '2014-03-05T17:10:00' with password 'third'\n"
              "Client authenticated from '10.0.0.8:50124' at '2014-03-05T17:11:00' with password 'unknown'\n"
              "Client disconnected from '10.0.0.7:50123' at '2014-03-05T17:20:30'\n"
              "Expiring password first\n"
              "Screen resized to '1280x1024'\n"
              "Something the server does not know\n",
              runtime);
        QCOMPARE(runtime.started(), local(2014, 3, 5, 17, 4, 9));
        QCOMPARE(runtime.lastConnect(), local(2014, 3, 5, 17, 11, 0));
        QCOMPARE(runtime.lastDisconnect(), local(2014, 3, 5, 17, 20, 30));
        QCOMPARE(runtime.clients(), 1);
        QCOMPARE(runtime.passwords(), QStringList{"with spaces inside"});
        QCOMPARE(runtime.screenSize(), QSize(1280, 1024));
    }

    void linesOfTheWrongFormChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("space in the date") << QByteArray("RDP initialized at '2014-03-05 17:04:09'");
        QTest::newRow("text after the quote") << QByteArray("RDP initialized at '2014-03-05T17:04:09' now");
        QTest::newRow("lower-case prefix") << QByteArray("added new password x");
        QTest::newRow("leading space") << QByteArray(" Added new password x");
        QTest::newRow("password with a space")
            << QByteArray("Client authenticated from 'a' at '2014-03-05T17:10:00' with password 'a b'");
        QTest::newRow("disconnect without time") << QByteArray("Client disconnected from 'a'");
        QTest::newRow("letters in the size") << QByteArray("Screen resized to 'axb'");
        QTest::newRow("size beyond int") << QByteArray("Screen resized to '99999999999x5'");
    }

    void linesOfTheWrongFormChangeNothing()
    {
        QFETCH(QByteArray, line);
        SessionRuntime runtime;
        parse("RDP initialized at '2014-03-05T17:04:09'\nAdded new password a\nScreen resized to '800x600'\n" + line
                  + "\nAdded new password b\n",
              runtime);
        QCOMPARE(runtime.started(), local(2014, 3, 5, 17, 4, 9));
        QCOMPARE(runtime.passwords(), (QStringList{"a", "b"}));
        QCOMPARE(runtime.clients(), 0);
        QVERIFY(runtime.lastDisconnect().isNull());
        QCOMPARE(runtime.screenSize(), QSize(800, 600));
    }

    void dateThatDoesNotExistClearsTheField_data()
    {
        QTest::addColumn<QByteArray>("date");
        QTest::newRow("30 February") << QByteArray("2014-02-30T10:00:00");
        QTest::newRow("hour 24") << QByteArray("2014-03-05T24:00:00");
        QTest::newRow("one-digit month") << QByteArray("2014-3-05T10:00:00");
        QTest::newRow("empty") << QByteArray("");
    }

    void dateThatDoesNotExistClearsTheField()
    {
        QFETCH(QByteArray, date);
        SessionRuntime runtime;
        parse("RDP initialized at '2014-03-05T17:04:09'\nRDP initialized at '" + date + "'\n", runtime);
        QVERIFY(runtime.started().isNull());
    }

    void screenSizeSidesMayBeEmpty()
    {
        SessionRuntime runtime;
        parse("Screen resized to '1280x'\n", runtime);
        QCOMPARE(runtime.screenSize(), QSize(1280, 0));
        SessionRuntime other;
        parse("Screen resized to 'x'\n", other);
        QCOMPARE(other.screenSize(), QSize(0, 0));
    }

    void passwordsChangeOneEntryAtATime()
    {
        SessionRuntime runtime;
        parse("Added new password \n"
              "Added new password twice\n"
              "Added new password other\n"
              "Added new password twice\n"
              "Expiring password absent\n"
              "Expiring password twice\n"
              "Added new password p\xc3\xa4ss\n",
              runtime);
        QCOMPARE(runtime.passwords(), (QStringList{"", "other", "twice", QString::fromUtf8("p\xc3\xa4ss")}));
    }

    void longLinesAreAppliedInPiecesOf512Characters()
    {
        // The second piece of the line is a line of its own.
        const QByteArray head = "Added new password ";
        const QByteArray first = head + QByteArray(512 - head.size(), 'a');
        const QByteArray second = "Added new password tail";
        SessionRuntime runtime;
        parse(first + second + "\n", runtime);
        QCOMPARE(runtime.passwords(), (QStringList{QString(512 - head.size(), 'a'), "tail"}));
    }

    void lineOf512CharactersDoesNotEndTheLog()
    {
        const QByteArray head = "Added new password ";
        const QByteArray exact = head + QByteArray(512 - head.size(), 'b');
        SessionRuntime runtime;
        parse(exact + "\nAdded new password after\n", runtime);
        QCOMPARE(runtime.passwords(), (QStringList{QString(512 - head.size(), 'b'), "after"}));
    }

    void readingStopsAtTheFirstEmptyLine()
    {
        SessionRuntime runtime;
        parse("Added new password one\nAdded new password two\n\nAdded new password three\n", runtime);
        QCOMPARE(runtime.passwords(), (QStringList{"one", "two"}));
        SessionRuntime crlf;
        parse("Added new password one\r\n\r\nAdded new password three\r\n", crlf);
        QCOMPARE(crlf.passwords(), QStringList{"one"});
    }

    // A log that starts mid-way (or lies) cannot take the count below 0.
    void disconnectionWithoutConnectionLeavesTheCountAtZero()
    {
        SessionRuntime runtime;
        parse("Client disconnected from 'a' at '2014-03-05T17:20:30'\n"
              "Client authenticated from 'b' at '2014-03-05T17:21:00' with password 'x'\n",
              runtime);
        QCOMPARE(runtime.clients(), 1);
        QCOMPARE(runtime.lastDisconnect(), local(2014, 3, 5, 17, 20, 30));
    }

    // A device would be read without end, a FIFO would block: neither is read at all.
    void logThatIsNoRegularFileFailsAtOnce()
    {
        const QString zero = QDir(temporary.path()).filePath("zero_log");
        const QString fifo = QDir(temporary.path()).filePath("fifo_log");
        QVERIFY(QFile::link("/dev/zero", zero));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString &path : {zero, fifo}) {
            SessionRuntime runtime;
            QString error;
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!runtime.parseAgentLog(path, error));
            QVERIFY(clock.elapsed() < 1000);
            QCOMPARE(error, QString("Failed to open the file \"%1\": Not a regular file").arg(path));
        }
    }

    // One read takes at most a fixed amount of the log; the rest comes with the next reads, and in
    // the end every line has had its effect once, in order.
    void eachReadOfTheLogIsBounded()
    {
        QByteArray content;
        QStringList all;
        for (int line = 0; all.size() * 26 <= 3 * AgentLogCursor::defaultReadLimit; ++line) {
            all << QString("p%1").arg(line, 6, 10, QLatin1Char('0'));
            content += "Added new password " + all.last().toLatin1() + "\n";
        }
        const QString path = logFile(content);
        SessionRuntime runtime;
        QString error;
        QVERIFY(runtime.parseAgentLog(path, error));
        QVERIFY(runtime.passwords().size() * 26 <= AgentLogCursor::defaultReadLimit);
        for (int read = 0; read < 3; ++read) {
            QVERIFY(runtime.parseAgentLog(path, error));
        }
        QCOMPARE(runtime.passwords(), all);

        // A line longer than a whole read is taken in parts of that size.
        AgentLogCursor cursor(8);
        QStringList lines;
        for (const QByteArray &piece : {QByteArray("abc\nabcdefghijkl\nx"), QByteArray("yz\n")}) {
            QVERIFY(appendBytes(path + "_small", piece));
            do {
                QStringList added;
                bool fromStart = false;
                QVERIFY(cursor.readNewLines(path + "_small", added, fromStart, error));
                lines += added;
            } while (cursor.hasMore());
        }
        QCOMPARE(lines, (QStringList{"abc", "abcdefgh", "ijkl", "xyz"}));
    }

    void missingLogFailsWithTheOpenError()
    {
        SessionRuntime runtime;
        const QString path = QDir(temporary.path()).filePath("no_log");
        QString error;
        QVERIFY(!runtime.parseAgentLog(path, error));
        QVERIFY2(error.startsWith(QString("Failed to open the file \"%1\": ").arg(path)), qPrintable(error));
    }

    void lineWithoutItsLineEndWaitsForIt()
    {
        SessionRuntime runtime;
        const QString path = logFile("Added new password ab");
        QString error;
        QVERIFY(runtime.parseAgentLog(path, error));
        QVERIFY(runtime.passwords().isEmpty());
        QVERIFY(appendBytes(path, "cd\n"));
        QVERIFY(runtime.parseAgentLog(path, error));
        QCOMPARE(runtime.passwords(), QStringList{"abcd"});
    }

    void refreshAppliesEachLineOnce()
    {
        SessionRuntime runtime;
        const QString dir = startSession(runtime);
        QVERIFY(!dir.isEmpty());
        const QString log = QDir(dir).filePath("server_log");
        QVERIFY(writeBytes(log, "Added new password a\nAdded new password b\n"
                                "Client authenticated from 'x' at '2014-03-05T17:10:00' with password 'b'\n"));
        for (int round = 0; round < 3; ++round) {
            QCOMPARE(runtime.refresh(), 0);
            QVERIFY(!runtime.exited());
            QCOMPARE(runtime.clients(), 1);
            QCOMPARE(runtime.passwords(), QStringList{"a"});
        }
    }

    void growingLogGivesTheFieldsOfOneWholeParse()
    {
        const QList<QByteArray> lines = {
            "RDP initialized at '2014-03-05T17:04:09'",
            "Added new password p1",
            "Screen resized to '1024x768'",
            "Client authenticated from '1.2.3.4:5' at '2014-03-05T17:05:00' with password 'p1'",
            "Added new password p2",
            "Added new password p3",
            "Expiring password p2",
            "Client authenticated from '1.2.3.4:6' at '2014-03-05T17:06:00' with password 'p3'",
            "Client disconnected from '1.2.3.4:5' at '2014-03-05T17:07:00'",
            "Screen resized to '1280x'",
            "Added new password " + QByteArray(600, 'z'),
            "",
            "Added new password never-read",
        };
        SessionRuntime growing;
        const QString dir = startSession(growing);
        QVERIFY(!dir.isEmpty());
        const QString log = QDir(dir).filePath("server_log");
        QByteArray whole;
        for (const QByteArray &line : lines) {
            // Each line arrives in two writes, with a refresh in between.
            const QByteArray text = line + "\n";
            QVERIFY(appendBytes(log, text.left(text.size() / 2)));
            QCOMPARE(growing.refresh(), 0);
            QVERIFY(appendBytes(log, text.mid(text.size() / 2)));
            QCOMPARE(growing.refresh(), 0);
            whole += text;
        }
        SessionRuntime once;
        parse(whole, once);
        QCOMPARE(growing.started(), once.started());
        QCOMPARE(growing.lastConnect(), once.lastConnect());
        QCOMPARE(growing.lastDisconnect(), once.lastDisconnect());
        QCOMPARE(growing.clients(), once.clients());
        QCOMPARE(growing.passwords(), once.passwords());
        QCOMPARE(growing.screenSize(), once.screenSize());
        // And what one whole parse gives is what the lines say.
        QCOMPARE(once.clients(), 1);
        // The rest of the long line is a piece that starts with no known prefix.
        QCOMPARE(once.passwords(), QStringList{QString(512 - 19, 'z')});
        QCOMPARE(once.screenSize(), QSize(1280, 0));
    }

    void shorterOrReplacedLogIsReadAgainFromClearedFields()
    {
        SessionRuntime runtime;
        const QString dir = startSession(runtime);
        QVERIFY(!dir.isEmpty());
        const QString log = QDir(dir).filePath("server_log");
        QVERIFY(writeBytes(log, "RDP initialized at '2014-03-05T17:04:09'\nAdded new password a\nAdded new password b\n"
                                "Screen resized to '800x600'\n"));
        QCOMPARE(runtime.refresh(), 0);
        QCOMPARE(runtime.passwords(), (QStringList{"a", "b"}));

        QVERIFY(writeBytes(log, "Added new password c\n")); // truncated in place
        QCOMPARE(runtime.refresh(), 0);
        QCOMPARE(runtime.passwords(), QStringList{"c"});
        QVERIFY(runtime.started().isNull());
        QCOMPARE(runtime.screenSize(), QSize(-1, -1));

        // A new file in its place, longer than what was read from the old one.
        const QString replacement = QDir(dir).filePath("server_log.new");
        QVERIFY(writeBytes(replacement, "Added new password d\nAdded new password e\nAdded new password f\n"));
        QVERIFY(QFile::remove(log));
        QVERIFY(QFile::rename(replacement, log));
        QCOMPARE(runtime.refresh(), 0);
        QCOMPARE(runtime.passwords(), (QStringList{"d", "e", "f"}));
    }
};

QTEST_GUILESS_MAIN(TestAgentLog)
#include "tst_agent_log.moc"

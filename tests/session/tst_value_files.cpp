// The value files of a session directory and SessionRuntime::load.

#include "tests/support/log_capture.h"
#include "session_test_files.h"

#include "server/session/error_code.h"
#include "server/session/session_runtime.h"
#include "server/session/value_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
// Contents of loadFailsWithMinus86AtTheFirstBadFile that stand for a special file in place of the value.
const char linkToZero[] = "<link to /dev/zero>";
const char fifo[] = "<fifo>";
}

class TestValueFiles : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temporary;
    LogCapture recorder;

    QString file(const QString &name) const { return QDir(temporary.path()).filePath(name); }

private slots:
    void initTestCase() { QVERIFY(temporary.isValid()); }
    void init() { recorder.clear(); }

    void writersReplaceTheContentAndLeaveMode0600()
    {
        const QString path = file("over_0644");
        QVERIFY(writeBytes(path, "a much longer old content\n"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                | QFileDevice::ReadOther));
        QString error;
        QVERIFY(writeFileLongLong(path, 4242, error));
        QCOMPARE(readBytes(path), QByteArray("4242"));
        QCOMPARE(fileMode(path), 0600);

        QVERIFY(writeFileLongLong(path, -17, error));
        QCOMPARE(readBytes(path), QByteArray("-17"));
        QVERIFY(writeFileUShort(path, 65535, error));
        QCOMPARE(readBytes(path), QByteArray("65535"));
        QVERIFY(writeFileString(path, QString::fromUtf8("xterm -geometry 80x24 \xc3\xa9"), error));
        QCOMPARE(readBytes(path), QByteArray("xterm -geometry 80x24 \xc3\xa9"));
        QVERIFY(writeFileText(path, "{\n}", error));
        QCOMPARE(readBytes(path), QByteArray("{\n}"));
        QVERIFY(writeFileString(path, QString(), error));
        QCOMPARE(readBytes(path), QByteArray());
        QCOMPARE(fileMode(path), 0600);
    }

    void writerReportsAFileThatCannotBeOpened()
    {
        const QString path = file("missing_dir/value");
        QString error;
        QVERIFY(!writeFileString(path, "x", error));
        QVERIFY2(error.startsWith(QString("Failed to open the file \"%1\": ").arg(path)), qPrintable(error));
        QVERIFY(!QFile::exists(path));

        // A FIFO in place of the file would hold the writer until a reader came.
        const QString pipe = file("fifo_value");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QVERIFY(!writeFileString(pipe, "x", error));
        QVERIFY2(error.startsWith(QString("Failed to open the file \"%1\": ").arg(pipe)), qPrintable(error));
    }

    void readersTakeTheFirstItem_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("word");
        QTest::addColumn<bool>("isUShort");
        QTest::addColumn<int>("number");
        QTest::newRow("command") << QByteArray("xterm -geometry 80x24") << "xterm" << false << 0;
        QTest::newRow("word and line end") << QByteArray("rootless\n") << "rootless" << false << 0;
        QTest::newRow("space before number") << QByteArray(" 101") << "101" << true << 101;
        QTest::newRow("digits only") << QByteArray("4242") << "4242" << true << 4242;
        QTest::newRow("number then text") << QByteArray("12abc 7") << "12abc" << true << 12;
        QTest::newRow("leading zero is decimal") << QByteArray("010") << "010" << true << 10;
        QTest::newRow("plus sign") << QByteArray("+5\n") << "+5" << true << 5;
        // UTF-8 always: FE FF at the start is no UTF-16 byte order mark here.
        QTest::newRow("bytes of a UTF-16 mark") << QByteArray("\xfe\xff" "7 x") << QString::fromUtf8("\xef\xbf\xbd\xef\xbf\xbd" "7")
                                                << false << 0;
    }

    void readersTakeTheFirstItem()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, word);
        QFETCH(bool, isUShort);
        QFETCH(int, number);
        const QString path = file("item");
        QVERIFY(writeBytes(path, content));
        QString error;
        QString readWord;
        QVERIFY(readFileWord(path, readWord, error));
        QCOMPARE(readWord, word);
        quint16 shortValue = 7;
        int intValue = 7;
        QCOMPARE(readFileUShort(path, shortValue, error), isUShort);
        QCOMPARE(readFileInt(path, intValue, error), isUShort);
        if (isUShort) {
            QCOMPARE(int(shortValue), number);
            QCOMPARE(intValue, number);
        }
    }

    void numbersOutOfRangeFailInsteadOfWrapping_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("fitsUShort");
        QTest::addColumn<bool>("fitsInt");
        QTest::newRow("70000") << QByteArray("70000") << false << true;
        QTest::newRow("-1") << QByteArray("-1") << false << true;
        QTest::newRow("65535") << QByteArray("65535") << true << true;
        QTest::newRow("2147483648") << QByteArray("2147483648") << false << false;
        QTest::newRow("-2147483648") << QByteArray("-2147483648") << false << true;
        QTest::newRow("twenty digits") << QByteArray("99999999999999999999") << false << false;
    }

    void numbersOutOfRangeFailInsteadOfWrapping()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, fitsUShort);
        QFETCH(bool, fitsInt);
        const QString path = file("range");
        QVERIFY(writeBytes(path, content));
        QString error;
        quint16 shortValue = 7;
        int intValue = 7;
        QCOMPARE(readFileUShort(path, shortValue, error), fitsUShort);
        QCOMPARE(readFileInt(path, intValue, error), fitsInt);
        if (!fitsUShort) {
            QCOMPARE(shortValue, quint16(7));
            QVERIFY2(error.startsWith(QString("Failed to read from the file \"%1\": ").arg(path)), qPrintable(error));
        }
        if (fitsInt) {
            QCOMPARE(QByteArray::number(intValue), content);
        } else {
            QCOMPARE(intValue, 7);
        }
    }

    void readersFailOnFilesWithoutTheItem_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("hasWord");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("spaces only") << QByteArray("   \n  ") << false;
        QTest::newRow("letters only") << QByteArray("display") << true;
        QTest::newRow("sign only") << QByteArray("-") << true;
    }

    void readersFailOnFilesWithoutTheItem()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, hasWord);
        const QString path = file("no_item");
        QVERIFY(writeBytes(path, content));
        QString error;
        QString word = "untouched";
        quint16 shortValue = 7;
        int intValue = 7;
        QCOMPARE(readFileWord(path, word, error), hasWord);
        QVERIFY(!readFileUShort(path, shortValue, error));
        QVERIFY2(error.startsWith(QString("Failed to read from the file \"%1\": ").arg(path)), qPrintable(error));
        QVERIFY(!readFileInt(path, intValue, error));
        QCOMPARE(shortValue, quint16(7));
        QCOMPARE(intValue, 7);
        if (!hasWord) {
            QCOMPARE(word, QString("untouched"));
        }
    }

    void readersReportAMissingFile()
    {
        const QString path = file("nowhere");
        QString error;
        int value = 3;
        QVERIFY(!readFileInt(path, value, error));
        QVERIFY2(error.startsWith(QString("Failed to open the file \"%1\": ").arg(path)), qPrintable(error));
        QCOMPARE(value, 3);
    }

    // The name is the whole command, which may be long: it survives a restart of the server unchanged.
    void loadTakesTheWholeNameAndTheFirstWordsAndNumbers()
    {
        const QString dir = file("C-loaded");
        QVERIFY(writeSessionDirectory(dir, 101, 4242, "rootless\n", "xterm -geometry 80x24"));
        QVERIFY(writeBytes(QDir(dir).filePath("display"), " 101"));
        SessionRuntime runtime;
        QCOMPARE(runtime.load(dir), 0);
        QCOMPARE(runtime.path(), dir);
        QCOMPARE(runtime.display(), quint16(101));
        QCOMPARE(runtime.windowMode(), QString("rootless"));
        QCOMPARE(runtime.name(), QString("xterm -geometry 80x24"));
        QVERIFY(!runtime.failed());
        QVERIFY(runtime.started().isNull());
        QVERIFY(runtime.lastConnect().isNull());
        QVERIFY(runtime.lastDisconnect().isNull());
        QCOMPARE(runtime.clients(), 0);
        QVERIFY(runtime.passwords().isEmpty());
        QCOMPARE(runtime.screenSize(), QSize(-1, -1));
        QVERIFY(!runtime.exited());
        QCOMPARE(runtime.exitCode(), -1);
        QVERIFY(recorder.warnings().isEmpty());

        const QString command = QString("sh -c 'echo \"%1\"'\n").arg(QString(60000, QLatin1Char('y')));
        QVERIFY(writeBytes(QDir(dir).filePath("name"), command.toUtf8()));
        QCOMPARE(runtime.load(dir), 0);
        QCOMPARE(runtime.name(), command);
    }

    void loadOfAMissingDirectoryFailsWithMinus93()
    {
        const QString dir = file("C-not-there/");
        SessionRuntime runtime;
        QCOMPARE(runtime.load(dir), int(NotASessionPath));
        QCOMPARE(recorder.warnings(), QStringList{QString("The directory \"%1\" does not exist").arg(dir)});
        QVERIFY(runtime.path().isEmpty());
    }

    void loadFailsWithMinus86AtTheFirstBadFile_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        const QString unreadable = "Failed to read from the file \"%1\": ";
        QTest::newRow("empty name") << "name" << QByteArray("") << unreadable;
        QTest::newRow("spaces in name") << "name" << QByteArray("   ") << unreadable;
        QTest::newRow("letters in display") << "display" << QByteArray("abc") << unreadable;
        QTest::newRow("display too large") << "display" << QByteArray("65536") << unreadable;
        QTest::newRow("no window mode") << "window_mode" << QByteArray("") << unreadable;
        QTest::newRow("missing monitor pid") << "monitor_pid" << QByteArray() << "Failed to open the file \"%1\": ";
        // Neither may stall the load: a device streams without end, a FIFO blocks a plain open().
        const QString notRegular = "Failed to open the file \"%1\": Not a regular file";
        QTest::newRow("display linked to /dev/zero") << "display" << QByteArray(linkToZero) << notRegular;
        QTest::newRow("window mode is a FIFO") << "window_mode" << QByteArray(fifo) << notRegular;
        QTest::newRow("name longer than a request") << "name" << QByteArray(70000, 'x') << unreadable;
    }

    void loadFailsWithMinus86AtTheFirstBadFile()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const QString dir = file("C-bad-" + QString(QTest::currentDataTag()).replace(' ', '_'));
        QVERIFY(writeSessionDirectory(dir, 120, 1));
        const QString badFile = QDir(dir).filePath(fileName);
        // A null content stands for a missing file.
        QVERIFY(content.isNull() ? QFile::remove(badFile) : writeBytes(badFile, content));
        if (content == linkToZero) {
            QVERIFY(QFile::remove(badFile) && QFile::link("/dev/zero", badFile));
        } else if (content == fifo) {
            QVERIFY(QFile::remove(badFile) && ::mkfifo(QFile::encodeName(badFile).constData(), 0600) == 0);
        }
        SessionRuntime runtime;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runtime.load(dir), int(ReadFileFailed));
        QVERIFY(clock.elapsed() < 1000);
        const QStringList warnings = recorder.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().startsWith(message.arg(badFile)), qPrintable(warnings.first()));
        QVERIFY(runtime.path().isEmpty());
    }

    void failedLoadLeavesALoadedObjectUnchanged()
    {
        const QString good = file("C-good");
        const QString bad = file("C-bad-display");
        QVERIFY(writeSessionDirectory(good, 121, 77, "desktop", "firefox"));
        QVERIFY(writeSessionDirectory(bad, 122, 78, "rootless", "xclock"));
        QVERIFY(writeBytes(QDir(bad).filePath("monitor_pid"), "pid"));
        SessionRuntime runtime;
        QCOMPARE(runtime.load(good), 0);
        QCOMPARE(runtime.load(bad), int(ReadFileFailed));
        QCOMPARE(runtime.path(), good);
        QCOMPARE(runtime.display(), quint16(121));
        QCOMPARE(runtime.windowMode(), QString("desktop"));
        QCOMPARE(runtime.name(), QString("firefox"));
    }
};

QTEST_GUILESS_MAIN(TestValueFiles)
#include "tst_value_files.moc"

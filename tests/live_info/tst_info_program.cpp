// The real lumen_info program: command line and exit statuses, on the offscreen platform.
// (Closing the window of the real program is shown by tst_info_xvfb; the in-process dialog by
// tst_info_dialog.)

#include "tests/support/test_environment.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

class TestInfoProgram : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

    QProcessEnvironment processEnvironment() const
    {
        QProcessEnvironment env = environment.processEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    // Starts lumen_info with the arguments; the process runs in the test's private folders.
    void start(QProcess &process, const QStringList &arguments)
    {
        process.setProcessEnvironment(processEnvironment());
        process.setWorkingDirectory(environment.home());
        process.start(TestEnvironment::binary(QStringLiteral("lumen_info")), arguments);
    }

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = environment.tmpDir() + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(content);
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(environment.isValid());
        const QFileInfo binary(TestEnvironment::binary(QStringLiteral("lumen_info")));
        QVERIFY2(binary.isExecutable(), qPrintable("lumen_info not built: " + binary.filePath()));
    }

    void usage_data()
    {
        const QString file = writeFile(QStringLiteral("usage.txt"), "text\n");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no argument") << QStringList();
        QTest::newRow("two arguments") << QStringList{file, file};
        QTest::newRow("three arguments") << QStringList{file, QStringLiteral("b"), QStringLiteral("c")};
        // The toolkit's own options are removed first; what remains counts.
        QTest::newRow("only a toolkit option") << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")};
        QTest::newRow("toolkit option and two arguments")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), file, file};
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        start(process, arguments);
        QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
        QVERIFY2(process.waitForFinished(10000), "lumen_info kept running instead of printing its usage");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QCOMPARE(process.readAllStandardError(), QByteArray("Usage: app [filename]\n"));
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
    }

    // Without a display that can be opened the program ends with a plain error, not the toolkit's
    // abort: DISPLAY unset, or naming a display no X server serves.
    void noDisplayIsAPlainError_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("unset") << QString() << QByteArray("DISPLAY is not set.");
        QTest::newRow("not served") << QStringLiteral(":65000") << QByteArray("\":65000\" cannot be opened.");
    }

    void noDisplayIsAPlainError()
    {
        QFETCH(QString, display);
        QFETCH(QByteArray, message);
        QProcessEnvironment env = processEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(TestEnvironment::binary(QStringLiteral("lumen_info")), {writeFile(QStringLiteral("shown.txt"), "text\n")});
        QVERIFY2(process.waitForFinished(10000), "lumen_info kept running without a display");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QByteArray errors = process.readAllStandardError();
        QVERIFY2(errors.contains("lumen_info: no display to show the window on: " + message), errors.constData());
    }

    // With one argument the program shows its dialog and runs its event loop until the dialog is
    // closed: it does not end on its own, whether or not the file can be read.
    void oneArgumentKeepsRunning_data()
    {
        QTest::addColumn<QStringList>("arguments");
        const QString file = writeFile(QStringLiteral("shown.txt"), "<b>shown</b> & text\n");
        const QString empty = writeFile(QStringLiteral("empty.txt"), QByteArray());
        QTest::newRow("file") << QStringList{file};
        QTest::newRow("empty file") << QStringList{empty};
        QTest::newRow("missing file") << QStringList{environment.tmpDir() + "/missing.txt"};
        QTest::newRow("toolkit option and file")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), file};
    }

    void oneArgumentKeepsRunning()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        start(process, arguments);
        QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
        if (process.waitForFinished(1500))
            QFAIL(qPrintable(QStringLiteral("lumen_info ended with status %1: %2")
                                 .arg(process.exitCode())
                                 .arg(QString::fromLocal8Bit(process.readAllStandardError()))));
        QCOMPARE(process.state(), QProcess::Running);
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        const QByteArray errors = process.readAllStandardError();
        QVERIFY2(!errors.contains("Usage:"), errors.constData());
    }
};

QTEST_GUILESS_MAIN(TestInfoProgram)
#include "tst_info_program.moc"

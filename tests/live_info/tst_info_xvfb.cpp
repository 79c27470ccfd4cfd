// lumen_info as a person sees it: the real program on an Xvfb display with the xcb platform.
// The test starts its own Xvfb (Debian package xvfb) on a free display between :150 and :199,
// finds the dialog's window with xwininfo and xprop (x11-utils), takes a screenshot with import
// (imagemagick) and closes the dialog with key presses and clicks from xdotool. Every one of these
// is installed by scripts/setup.sh; a missing tool or an Xvfb that does not start is a failure.

#include "tests/support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

struct WindowInfo
{
    QString id;
    QRect geometry; // absolute position on the screen, size
    bool viewable = false;
};

QString findTool(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/bin"), QStringLiteral("/usr/X11R6/bin")});
    return path;
}

} // namespace

class TestInfoXvfb : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    std::unique_ptr<QProcess> xvfb;
    int display = -1;
    QString sampleFile;
    QString sampleText;

    QString leakSuppressions;

    // In a sanitizer build, the shared leak suppressions plus one for libdbus, which Qt's xcb
    // platform loads and which keeps an allocation to the end (not a leak of lumen_info).
    void prepareLeakSuppressions()
    {
        const QString options = qEnvironmentVariable("LSAN_OPTIONS");
        if (options.isEmpty())
            return;
        QByteArray content;
        QStringList parts = options.split(QLatin1Char(':'), Qt::SkipEmptyParts);
        for (auto it = parts.begin(); it != parts.end();) {
            if (it->startsWith(QLatin1String("suppressions="))) {
                QFile shared(it->mid(int(qstrlen("suppressions="))));
                if (shared.open(QIODevice::ReadOnly))
                    content = shared.readAll();
                it = parts.erase(it);
            } else {
                ++it;
            }
        }
        if (!content.isEmpty() && !content.endsWith('\n'))
            content += '\n';
        content += "leak:libdbus-1.so\n";
        const QString path = environment.tmpDir() + QStringLiteral("/lsan.supp");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        file.write(content);
        parts.prepend(QStringLiteral("suppressions=") + path);
        leakSuppressions = parts.join(QLatin1Char(':'));
    }

    QProcessEnvironment displayEnvironment() const
    {
        QProcessEnvironment env = environment.processEnvironment();
        if (!leakSuppressions.isEmpty())
            env.insert(QStringLiteral("LSAN_OPTIONS"), leakSuppressions);
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("XAUTHORITY"));
        return env;
    }

    // Runs an X client tool on the test's display; returns its exit code, -1 if it did not finish.
    int runTool(const QString &tool, const QStringList &arguments, QByteArray *output = nullptr,
                QByteArray *errors = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(displayEnvironment());
        process.start(findTool(tool), arguments);
        if (!process.waitForStarted(5000))
            return -1;
        if (!process.waitForFinished(15000)) {
            process.kill();
            process.waitForFinished(2000);
            return -1;
        }
        if (output)
            *output = process.readAllStandardOutput();
        if (errors)
            *errors = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    bool displayAnswers() { return runTool(QStringLiteral("xwininfo"), {QStringLiteral("-root")}) == 0; }

    // Tries the displays from a random start in 150-199 that have neither a lock file nor a socket;
    // a display that another process takes in between makes Xvfb exit, and the next one is tried.
    bool startXvfb(QString *message)
    {
        const QString program = findTool(QStringLiteral("Xvfb"));
        if (program.isEmpty()) {
            *message = QStringLiteral("Xvfb not found (Debian package xvfb, installed by scripts/setup.sh)");
            return false;
        }
        QStringList failures;
        const int first = QRandomGenerator::global()->bounded(50);
        int attempts = 0;
        for (int i = 0; i < 50 && attempts < 5; ++i) {
            const int candidate = 150 + (first + i) % 50;
            if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(candidate))
                || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(candidate)))
                continue;
            ++attempts;
            auto process = std::make_unique<QProcess>();
            process->setProcessChannelMode(QProcess::MergedChannels);
            // -noreset: without it the server resets whenever its last client leaves (the readiness
            // probe, for one), and a client that connects during the reset is refused.
            process->start(program, {QStringLiteral(":%1").arg(candidate), QStringLiteral("-nolisten"),
                                     QStringLiteral("tcp"), QStringLiteral("-noreset"), QStringLiteral("-screen"),
                                     QStringLiteral("0"), QStringLiteral("1024x768x24")});
            if (!process->waitForStarted(5000)) {
                failures << QStringLiteral(":%1: %2").arg(candidate).arg(process->errorString());
                continue;
            }
            display = candidate;
            QElapsedTimer timer;
            timer.start();
            bool ready = false;
            while (timer.elapsed() < 10000) {
                if (process->state() != QProcess::Running)
                    break;
                if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(candidate)) && displayAnswers()) {
                    ready = true;
                    break;
                }
                process->waitForFinished(100);
            }
            if (ready) {
                xvfb = std::move(process);
                return true;
            }
            process->kill();
            process->waitForFinished(3000);
            failures << QStringLiteral(":%1: %2").arg(candidate).arg(QString::fromLocal8Bit(process->readAll()).trimmed());
            display = -1;
        }
        *message = QStringLiteral("Xvfb could not start on any free display in 150-199:\n") + failures.join('\n');
        return false;
    }

    void stopXvfb()
    {
        if (!xvfb)
            return;
        xvfb->terminate();
        if (!xvfb->waitForFinished(5000)) {
            xvfb->kill();
            xvfb->waitForFinished(3000);
        }
        xvfb.reset();
    }

    // The program's mapped top-level window, whatever its title: WM_CLASS is the program name and
    // the application name. (The client leader window of Qt has no class.)
    QStringList dialogWindows()
    {
        QByteArray tree;
        if (runTool(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}, &tree) != 0)
            return {};
        static const QRegularExpression line(
            QStringLiteral("^\\s*(0x[0-9a-fA-F]+) (?:\"[^\"\\n]*\"|\\(has no name\\)): "
                           "\\(\"lumen_info\" \"Lumen Server\"\\)"),
            QRegularExpression::MultilineOption);
        QStringList ids;
        for (auto it = line.globalMatch(QString::fromLocal8Bit(tree)); it.hasNext();)
            ids << it.next().captured(1);
        return ids;
    }

    WindowInfo windowInfo(const QString &id)
    {
        WindowInfo info;
        info.id = id;
        QByteArray out;
        if (runTool(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id}, &out) != 0)
            return info;
        const QString text = QString::fromLocal8Bit(out);
        auto number = [&text](const QString &label) {
            const QRegularExpression re(QRegularExpression::escape(label) + QStringLiteral(":\\s*(-?\\d+)"));
            const QRegularExpressionMatch match = re.match(text);
            return match.hasMatch() ? match.captured(1).toInt() : -1;
        };
        info.geometry = QRect(number(QStringLiteral("Absolute upper-left X")),
                              number(QStringLiteral("Absolute upper-left Y")), number(QStringLiteral("Width")),
                              number(QStringLiteral("Height")));
        info.viewable = text.contains(QStringLiteral("Map State: IsViewable"));
        return info;
    }

    // Waits until exactly one dialog window of the program is mapped.
    WindowInfo waitForDialog(QProcess &program, int timeout = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeout && program.state() == QProcess::Running) {
            const QStringList ids = dialogWindows();
            if (ids.size() == 1) {
                const WindowInfo info = windowInfo(ids.constFirst());
                if (info.viewable)
                    return info;
            }
            program.waitForFinished(100);
        }
        return WindowInfo();
    }

    void startProgram(QProcess &program, const QStringList &arguments)
    {
        program.setProcessEnvironment(displayEnvironment());
        program.setWorkingDirectory(environment.home());
        program.start(TestEnvironment::binary(QStringLiteral("lumen_info")), arguments);
    }

    // Reads what the program wrote to standard error: call it only when failing.
    static QString describe(QProcess &program)
    {
        return QStringLiteral("state %1, exit status %2, code %3, standard error: %4")
            .arg(program.state())
            .arg(program.exitStatus())
            .arg(program.exitCode())
            .arg(QString::fromLocal8Bit(program.readAllStandardError()));
    }

    // The program ended by itself with status 0; otherwise the failure shows its standard error.
    static bool endedWithZero(QProcess &program, QString *message)
    {
        if (program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0)
            return true;
        *message = QStringLiteral("lumen_info did not end with status 0; ") + describe(program);
        return false;
    }

    static void stopProgram(QProcess &program)
    {
        if (program.state() == QProcess::NotRunning)
            return;
        program.kill();
        program.waitForFinished(5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(environment.isValid());
        const QFileInfo binary(TestEnvironment::binary(QStringLiteral("lumen_info")));
        QVERIFY2(binary.isExecutable(), qPrintable("lumen_info not built: " + binary.filePath()));
        for (const QString &tool : {QStringLiteral("xwininfo"), QStringLiteral("xprop"), QStringLiteral("import"),
                                    QStringLiteral("xdotool")}) {
            QVERIFY2(!findTool(tool).isEmpty(),
                     qPrintable(QStringLiteral("%1 not found (scripts/setup.sh installs x11-utils, imagemagick and xdotool)")
                                    .arg(tool)));
        }

        prepareLeakSuppressions();

        QString message;
        QVERIFY2(startXvfb(&message), qPrintable(message));
        qInfo("Xvfb runs on display :%d", display);

        sampleText = QStringLiteral("<b>Lumen</b> &amp; <i>Server</i>\nThe second line of the sample file.\n");
        sampleFile = environment.tmpDir() + QStringLiteral("/sample.txt");
        QFile file(sampleFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sampleText.toUtf8());
    }

    void cleanupTestCase() { stopXvfb(); }

    // The window is mapped at 400 x 300 with the title and the icon, and the screenshot shows text;
    // Escape ends the program with status 0.
    void dialogAsSeenAndEscape()
    {
        QProcess program;
        startProgram(program, {sampleFile});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        auto guard = qScopeGuard([&program] { stopProgram(program); });

        const WindowInfo window = waitForDialog(program);
        if (window.id.isEmpty())
            QFAIL(qPrintable("no mapped dialog window appeared; " + describe(program)));
        QCOMPARE(window.geometry.size(), QSize(400, 300));
        QVERIFY(QRect(0, 0, 1024, 768).contains(window.geometry));

        // Title and icon, as the window's properties.
        QByteArray properties;
        QCOMPARE(runTool(QStringLiteral("xprop"), {QStringLiteral("-id"), window.id, QStringLiteral("WM_NAME"),
                                                   QStringLiteral("_NET_WM_NAME"), QStringLiteral("WM_CLASS")},
                         &properties),
                 0);
        QVERIFY2(properties.contains("WM_NAME(STRING) = \"Lumen Server\""), properties.constData());
        QVERIFY2(properties.contains("_NET_WM_NAME(UTF8_STRING) = \"Lumen Server\""), properties.constData());
        QVERIFY2(properties.contains("WM_CLASS(STRING) = \"lumen_info\", \"Lumen Server\""), properties.constData());

        const QImage icon(QStringLiteral(LUMEN_SOURCE_DIR "/info/images/Lumen Server.png"));
        QVERIFY(!icon.isNull());
        QByteArray iconProperty;
        QCOMPARE(runTool(QStringLiteral("xprop"), {QStringLiteral("-id"), window.id, QStringLiteral("_NET_WM_ICON")},
                         &iconProperty),
                 0);
        const QByteArray iconSize = QStringLiteral("Icon (%1 x %2)").arg(icon.width()).arg(icon.height()).toLatin1();
        QVERIFY2(iconProperty.contains(iconSize), iconProperty.left(200).constData());

        // Give the program a moment to paint, then take a screenshot of the screen.
        QTest::qWait(300);
        const QString shotPath = environment.tmpDir() + QStringLiteral("/screenshot.png");
        QByteArray errors;
        QCOMPARE(runTool(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), shotPath},
                         nullptr, &errors),
                 0);
        QImage screen(shotPath);
        QVERIFY2(!screen.isNull(), qPrintable("no screenshot: " + QString::fromLocal8Bit(errors)));
        QCOMPARE(screen.size(), QSize(1024, 768));
        const QImage shot = screen.copy(window.geometry).convertToFormat(QImage::Format_RGB32);
        // The window's picture stays in the test's working folder for a person to look at.
        const QString keptShot = QDir::current().absoluteFilePath(QStringLiteral("tst_info_xvfb_window.png"));
        shot.save(keptShot);

        QSet<QRgb> colours;
        int dark = 0;
        for (int y = 0; y < shot.height(); ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(shot.constScanLine(y));
            for (int x = 0; x < shot.width(); ++x) {
                colours.insert(row[x]);
                if (y < shot.height() / 2 && qGray(row[x]) < 96)
                    ++dark;
            }
        }
        qInfo("Screenshot %s: %lld distinct colours in the window", qPrintable(keptShot),
              static_cast<long long>(colours.size()));
        QVERIFY2(colours.size() > 1, "the window is blank (one colour)");
        // The text area in the upper half shows the file's text: dark glyphs on a light ground.
        QVERIFY2(dark > 50, qPrintable(QStringLiteral("no text visible in the window (%1 dark pixels)").arg(dark)));

        // Escape, pressed by a person at the display, rejects the dialog and ends the program.
        QCOMPARE(runTool(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--window"), window.id,
                                                     QStringLiteral("200"), QStringLiteral("150")}),
                 0);
        QCOMPARE(runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}), 0);
        if (!program.waitForFinished(10000))
            QFAIL(qPrintable("Escape did not end lumen_info; " + describe(program)));
        QString message;
        QVERIFY2(endedWithZero(program, &message), qPrintable(message));
        QVERIFY(dialogWindows().isEmpty());
    }

    // A click on the Close button at the bottom right of the dialog ends the program with status 0.
    void closeButtonClick()
    {
        QProcess program;
        startProgram(program, {environment.tmpDir() + QStringLiteral("/missing.txt")});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        auto guard = qScopeGuard([&program] { stopProgram(program); });

        const WindowInfo window = waitForDialog(program);
        if (window.id.isEmpty())
            QFAIL(qPrintable("no mapped dialog window appeared; " + describe(program)));
        QCOMPARE(window.geometry.size(), QSize(400, 300));
        QTest::qWait(200);

        // The button box sits in the bottom right corner inside the layout's margins; a standard
        // button is at least 70 pixels wide and 20 high.
        const QPoint close(window.geometry.width() - 40, window.geometry.height() - 22);
        QCOMPARE(runTool(QStringLiteral("xdotool"),
                         {QStringLiteral("mousemove"), QStringLiteral("--window"), window.id,
                          QString::number(close.x()), QString::number(close.y()), QStringLiteral("click"),
                          QStringLiteral("1")}),
                 0);
        if (!program.waitForFinished(10000))
            QFAIL(qPrintable("Close did not end lumen_info; " + describe(program)));
        QString message;
        QVERIFY2(endedWithZero(program, &message), qPrintable(message));
    }

    // Without its argument the program prints its usage and opens no window, on a real display too.
    void usageOpensNoWindow()
    {
        QProcess program;
        startProgram(program, {});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        auto guard = qScopeGuard([&program] { stopProgram(program); });
        if (!program.waitForFinished(10000))
            QFAIL(qPrintable("lumen_info kept running instead of printing its usage; " + describe(program)));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(program.readAllStandardError(), QByteArray("Usage: app [filename]\n"));
        QVERIFY(dialogWindows().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestInfoXvfb)
#include "tst_info_xvfb.moc"

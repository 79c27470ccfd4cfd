// The Debian packages lumen-server and lumen-client: cpack builds them from the build tree as it is
// (no rebuild), dpkg-deb shows what they hold and need, lintian finds no error in them, and the
// programs taken out of them run.

#include "tests/support/relay_process.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Output
{
    int status = -1;
    QString text;
};

// The program's output, with its errors unless `outputOnly`.
Output run(const QString &program, const QStringList &arguments,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(), int timeoutMs = 240000,
           bool outputOnly = false)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(outputOnly ? QProcess::SeparateChannels : QProcess::MergedChannels);
    process.start(program, arguments);
    Output output;
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit) {
        output.status = process.exitCode();
    }
    output.text = QString::fromLocal8Bit(process.readAll());
    if (output.status < 0) {
        output.text += process.errorString();
    }
    return output;
}

// The entries of a package's Depends field, without their versions.
QStringList dependencies(const QString &package)
{
    const Output depends = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), package, QStringLiteral("Depends")});
    QStringList names;
    for (const QString &entry : depends.text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        names << entry.trimmed().section(QLatin1Char(' '), 0, 0);
    }
    return names;
}

// The files a package installs, as "/usr/bin/lumen".
QStringList files(const QString &package)
{
    const Output contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), package});
    QStringList paths;
    for (const QString &line : contents.text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString path = line.section(QLatin1Char(' '), -1).mid(1);
        if (!line.startsWith(QLatin1Char('d'))) {
            paths << path;
        }
    }
    paths.sort();
    return paths;
}

} // namespace

class TestClientPackages : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir packages;
    QString server;
    QString client;

private slots:
    void initTestCase()
    {
        QVERIFY(packages.isValid());
        // The configuration that the build wrote; cpack installs from the tree without building.
        const Output cpack = run(QStringLiteral("cpack"),
                                 {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                                  QStringLiteral(LUMEN_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), packages.path()});
        QVERIFY2(cpack.status == 0, qPrintable(cpack.text));
        server = packages.filePath(QStringLiteral("lumen-server_1.0.38_amd64.deb"));
        client = packages.filePath(QStringLiteral("lumen-client_1.0.38_amd64.deb"));
        QVERIFY2(QFileInfo::exists(server) && QFileInfo::exists(client),
                 qPrintable(QDir(packages.path()).entryList().join(QLatin1Char(' ')) + QLatin1Char('\n') + cpack.text));
    }

    void packagesHoldTheProgramsAndNameTheirDependencies()
    {
        QCOMPARE(files(server), QStringList({QStringLiteral("/usr/bin/lumen-job"), QStringLiteral("/usr/bin/lumen_info"),
                                             QStringLiteral("/usr/bin/lumen_sci"),
                                             QStringLiteral("/usr/bin/lumen_server"), QStringLiteral("/usr/bin/start-agent"),
                                             QStringLiteral("/usr/bin/start-app"),
                                             QStringLiteral("/usr/share/doc/lumen-server/changelog.gz"),
                                             QStringLiteral("/usr/share/doc/lumen-server/copyright")}));
        QCOMPARE(files(client),
                 QStringList({QStringLiteral("/usr/bin/lumen"), QStringLiteral("/usr/share/doc/lumen-client/changelog.gz"),
                              QStringLiteral("/usr/share/doc/lumen-client/copyright"),
                              QStringLiteral("/usr/share/man/man1/lumen.1.gz")}));
        // The long description is text, not a list whose items each begin with ";".
        const QString description =
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), server, QStringLiteral("Description")}).text;
        QVERIFY2(description.contains(QStringLiteral("\n lumen_server keeps X sessions")) && !description.contains(QStringLiteral("\n;"))
                     && !description.contains(QStringLiteral("\n ;")),
                 qPrintable(description));

        const QStringList serverNeeds = dependencies(server);
        for (const char *name : {"libqt6core6", "libqt6network6", "libqt6widgets6", "libjsoncpp25", "openssl", "xauth",
                                 "python3", "tigervnc-standalone-server"}) {
            QVERIFY2(serverNeeds.contains(QLatin1String(name)), qPrintable(name + QStringLiteral(" missing in ") + serverNeeds.join(QLatin1Char(' '))));
        }
        const QStringList clientNeeds = dependencies(client);
        for (const char *name : {"libqt6core6", "libqt6network6", "openssh-client", "tigervnc-viewer"}) {
            QVERIFY2(clientNeeds.contains(QLatin1String(name)), qPrintable(name + QStringLiteral(" missing in ") + clientNeeds.join(QLatin1Char(' '))));
        }
        QVERIFY2(!clientNeeds.contains(QLatin1String("tigervnc-standalone-server")), qPrintable(clientNeeds.join(QLatin1Char(' '))));
        // lumen --browser needs them; the viewer program does not.
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), client, QStringLiteral("Recommends")}).text.trimmed(),
                 QStringLiteral("novnc, websockify"));
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), client, QStringLiteral("Package")}).text.trimmed(),
                 QStringLiteral("lumen-client"));
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), server, QStringLiteral("Package")}).text.trimmed(),
                 QStringLiteral("lumen-server"));
    }

    // Debian's own checker: warnings and notes are allowed, errors are not.
    void lintianFindsNoErrors()
    {
        for (const QString &package : {server, client}) {
            const Output lintian = run(QStringLiteral("lintian"), {QStringLiteral("--tag-display-limit"), QStringLiteral("0"), package});
            QVERIFY2(lintian.status >= 0, qPrintable(lintian.text));
            const QStringList errors =
                lintian.text.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^E: ")));
            QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
        }
    }

    // Taken out of the packages, the relay starts the server, which answers "Live.GetVersion"; the
    // client reaches them for `local`. Nothing of the build tree is on the PATH. The programs are
    // stripped, and each answers --help and --version without a display.
    void extractedProgramsRun()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        for (const QString &package : {server, client}) {
            const Output extract = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), package, root.path()});
            QVERIFY2(extract.status == 0, qPrintable(extract.text));
        }
        const QString bin = root.filePath(QStringLiteral("usr/bin"));
        const Output libraries = run(QStringLiteral("ldd"), {bin + QStringLiteral("/lumen_info")});
        QVERIFY2(libraries.status == 0 && !libraries.text.contains(QStringLiteral("not found")), qPrintable(libraries.text));

        TestEnvironment env;
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
        ServerRunner serverRunner(env); // stops the server at the end

        RelayProcess relay;
        QVERIFY(relay.start(bin + QStringLiteral("/lumen_sci"), {}, environment));
        relay.sendFrame(R"({"id":1,"jsonrpc":"2.0","method":"Live.GetVersion"})"
                        "\n");
        QByteArray answer;
        QVERIFY2(relay.readFrame(answer, 60000), relay.standardError().constData());
        QCOMPARE(answer, QByteArray(R"({"id":1,"jsonrpc":"2.0","result":"1.0.38"})"
                                    "\n"));
        const QString serverProgram = QFileInfo(QStringLiteral("/proc/%1/exe").arg(serverRunner.pid())).symLinkTarget();
        QCOMPARE(serverProgram, bin + QStringLiteral("/lumen_server"));

        const Output list = run(bin + QStringLiteral("/lumen"), {QStringLiteral("local"), QStringLiteral("list"), QStringLiteral("--json")},
                                environment, 60000, true);
        QCOMPARE(list.status, 0);
        QCOMPARE(list.text, QStringLiteral("[]\n"));
        QProcessEnvironment noDisplay = environment;
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            noDisplay.remove(QLatin1String(name));
        }
        for (const char *program : {"lumen", "lumen_server", "lumen_sci", "lumen_info", "lumen-job"}) {
            const QString path = bin + QLatin1Char('/') + QLatin1String(program);
            // Stripped: no symbol table left.
            const Output sections = run(QStringLiteral("readelf"), {QStringLiteral("-S"), QStringLiteral("-W"), path});
            QVERIFY2(sections.status == 0 && !sections.text.contains(QStringLiteral(".symtab")), qPrintable(sections.text));
            QCOMPARE(run(path, {QStringLiteral("--version")}, noDisplay).text,
                     QStringLiteral("%1 1.0.38\n").arg(QLatin1String(program)));
            const Output help = run(path, {QStringLiteral("--help")}, noDisplay);
            QVERIFY2(help.status == 0 && help.text.startsWith(QStringLiteral("Usage: %1").arg(QLatin1String(program))),
                     qPrintable(help.text));
        }
    }
};

QTEST_GUILESS_MAIN(TestClientPackages)
#include "tst_client_packages.moc"

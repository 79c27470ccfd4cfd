#include "job/job_environment.h"
#include "job/job_options.h"
#include "server/session/display_lease.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString id = QStringLiteral("0123456789abcdef0123456789ABCDEF");

mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

class JobTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("command");
        QTest::newRow("plain") << QStringList{"--id", id, "--geometry", "1280x800", "--", "xterm -bg black"} << true
                               << "xterm -bg black";
        QTest::newRow("inline values, no --") << QStringList{"--id=" + id, "--geometry=rootless", "xterm"} << true << "xterm";
        QTest::newRow("a command that looks like an option") << QStringList{"--id", id, "--geometry", "800x600", "--", "-x"}
                                                             << true << "-x";
        QTest::newRow("id too short") << QStringList{"--id", id.left(31), "--geometry", "800x600", "xterm"} << false << "";
        QTest::newRow("id with a line end") << QStringList{"--id", id + "\n", "--geometry", "800x600", "xterm"} << false << "";
        QTest::newRow("bad geometry") << QStringList{"--id", id, "--geometry", "800x", "xterm"} << false << "";
        QTest::newRow("no command") << QStringList{"--id", id, "--geometry", "800x600"} << false << "";
        QTest::newRow("two commands") << QStringList{"--id", id, "--geometry", "800x600", "xterm", "xclock"} << false << "";
        QTest::newRow("value missing") << QStringList{"--geometry", "800x600", "xterm", "--id"} << false << "";
        QTest::newRow("unknown option") << QStringList{"--id", id, "--geometry", "800x600", "--verbose", "x", "xterm"}
                                        << false << "";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, valid);
        QFETCH(QString, command);
        JobOptions options;
        QString error;
        QCOMPARE(JobOptions::parse(arguments, options, error), valid);
        QCOMPARE(error.isEmpty(), valid);
        if (valid) {
            QCOMPARE(options.sessionId(), id);
            QCOMPARE(options.command(), command);
        }
    }

    // A job submitted from a host whose folders this node lacks.
    void sessionGetsPrivateFoldersAndServerNoJobMarks()
    {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        QProcessEnvironment inherited;
        inherited.insert("HOME", "/home/ann");
        inherited.insert("XDG_RUNTIME_DIR", base.filePath("gone/run/user/4242"));
        inherited.insert("TMPDIR", base.filePath("gone/tmp"));
        inherited.insert("SLURM_JOB_ID", "4711");
        inherited.insert("CUDA_VISIBLE_DEVICES", "0");
        inherited.insert("ENVIRONMENT", "BATCH");
        QString privateFolder;
        {
            JobEnvironment environment(inherited);
            QString error;
            QVERIFY2(environment.prepare("4711", error, base.path()), qPrintable(error));
            const QProcessEnvironment session = environment.session();
            const QString runtime = session.value("XDG_RUNTIME_DIR");
            const QString temp = session.value("TMPDIR");
            QVERIFY2(runtime.startsWith(base.filePath("lumen-job-4711-")), qPrintable(runtime));
            QVERIFY(JobEnvironment::isUsableRuntimeFolder(runtime));
            QVERIFY(JobEnvironment::isUsableTempFolder(temp));
            QCOMPARE(environment.changes().size(), 2);
            // The session is the job's: its marks stay.
            QCOMPARE(session.value("SLURM_JOB_ID"), QStringLiteral("4711"));
            QCOMPARE(session.value("CUDA_VISIBLE_DEVICES"), QStringLiteral("0"));
            // The server is the node's: shared by every job, so it carries none of one job's.
            const QProcessEnvironment server = environment.server();
            for (const char *name : {"SLURM_JOB_ID", "CUDA_VISIBLE_DEVICES", "ENVIRONMENT", "TMPDIR"}) {
                QVERIFY2(!server.contains(name), name);
            }
            QCOMPARE(server.value("HOME"), QStringLiteral("/home/ann"));
            // The node's own runtime folder, or none (Qt's fallback), as for a server an ssh login starts.
            const QString system = QStringLiteral("/run/user/%1").arg(::getuid());
            QCOMPARE(server.value("XDG_RUNTIME_DIR"),
                     JobEnvironment::isUsableRuntimeFolder(system) ? system : QString());
            privateFolder = QFileInfo(runtime).path();
        }
        QVERIFY(!QFileInfo::exists(privateFolder));
    }

    void usableFoldersAreKept()
    {
        QTemporaryDir runtime;
        QTemporaryDir temp;
        QVERIFY(runtime.isValid() && temp.isValid());
        QCOMPARE(modeOf(runtime.path()), mode_t(0700));
        QProcessEnvironment inherited;
        inherited.insert("XDG_RUNTIME_DIR", runtime.path());
        inherited.insert("TMPDIR", temp.path());
        JobEnvironment environment(inherited);
        QString error;
        QVERIFY2(environment.prepare("17", error, temp.path()), qPrintable(error));
        QCOMPARE(environment.session().value("XDG_RUNTIME_DIR"), runtime.path());
        QCOMPARE(environment.session().value("TMPDIR"), temp.path());
        QCOMPARE(environment.server().value("XDG_RUNTIME_DIR"), runtime.path());
        QVERIFY(environment.changes().isEmpty());

        // Others may read it: not private enough to be a runtime folder.
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                          | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(!JobEnvironment::isUsableRuntimeFolder(runtime.path()));
        QVERIFY(!JobEnvironment::isUsableRuntimeFolder(runtime.filePath("missing")));
    }

    // The lease is one flock per display: other holders, in this process or another, are refused
    // until they release it or die.
    void displayLeaseExcludesOtherHolders()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString leases = folder.filePath("displays");
        DisplayLease first(leases);
        DisplayLease second(leases);
        QVERIFY(first.take(120));
        QVERIFY(!second.take(120));
        QVERIFY(second.error().isEmpty());
        QVERIFY(second.take(121));
        first.release();
        QVERIFY(second.take(120)); // gives 121 back
        QVERIFY(first.take(121));

        QProcess holder;
        holder.start("flock", {"--exclusive", "--no-fork", leases + "/130.lock", "sh", "-c", "echo held; exec sleep 30"});
        QVERIFY(holder.waitForReadyRead(10000));
        QVERIFY(!first.take(130));
        holder.kill();
        QVERIFY(holder.waitForFinished(5000));
        QVERIFY(first.take(130));

        // A folder that cannot be made is an error, not a display in use.
        QFile blocker(folder.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        DisplayLease broken(blocker.fileName() + "/displays");
        QVERIFY(!broken.take(120));
        QVERIFY(!broken.error().isEmpty());

        // A FIFO planted as a lock file is refused at once, never waited on.
        QVERIFY(::mkfifo(QFile::encodeName(leases + "/140.lock").constData(), 0600) == 0);
        QVERIFY(!first.take(140));
        QVERIFY(first.error().contains("not a regular file"));
    }
};

QTEST_GUILESS_MAIN(JobTest)
#include "tst_job.moc"

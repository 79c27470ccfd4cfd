// Desktops in batch jobs, on a batch cluster from Debian's Slurm: a login host and a node, each in
// namespaces of its own, reached from the test (the laptop) by ssh through the login host only. The
// cluster comes up once for every test function. The first shows that jobs run where and as they
// would on a real cluster; the second runs lumen-job in real jobs (with the stand-in agent).

#include "private_sshd.h"

#include "tests/support/polling.h"
#include "tests/support/rpc_client.h"
#include "tests/support/slurm_cluster.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

constexpr quint16 SshPort = 22; // each host has a network of its own
constexpr int DisplayBase = 150;

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace

class SlurmClusterTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir keys;
    QTemporaryDir reports; // sanitizer reports of the programs run in jobs
    std::unique_ptr<TestEnvironment> world;
    std::unique_ptr<SlurmCluster> cluster;
    PrivateSshd sshd[2];
    qint64 upMs = 0;

    QString sshBase() const { return PrivateSshd::sshCommand(keys.path()) + QStringLiteral(" -p %1").arg(SshPort); }
    QString loginDestination() const
    {
        return PrivateSshd::loginName() + QLatin1Char('@') + cluster->address(SlurmCluster::Login);
    }
    // ssh to the node through the login host; a hop that takes the same options as the last leg
    // (ssh -J would drop the key).
    QString nodeSsh() const
    {
        return sshBase() + QStringLiteral(" -o \"ProxyCommand=%1 -W %h:%p %2\"").arg(sshBase(), loginDestination());
    }

    // Runs a command by ssh on a host of the cluster, with `input` on its standard input.
    bool ssh(SlurmCluster::Host host, const QString &command, QByteArray &output, QString &error,
             const QByteArray &input = QByteArray())
    {
        QStringList arguments = QProcess::splitCommand(host == SlurmCluster::Node ? nodeSsh() : sshBase());
        arguments << (host == SlurmCluster::Node
                          ? PrivateSshd::loginName() + QLatin1Char('@') + SlurmCluster::hostName(SlurmCluster::Node)
                          : loginDestination())
                  << command;
        QProcess process;
        process.start(arguments.first(), arguments.mid(1));
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(5000);
            error = QStringLiteral("ssh %1: %2 %3")
                        .arg(command, QString::fromLocal8Bit(process.readAllStandardError()),
                             QString::fromLocal8Bit(process.readAllStandardOutput()));
            return false;
        }
        output = process.readAllStandardOutput().trimmed();
        return true;
    }

    // The job's state and reason, empty once squeue no longer lists it.
    QString jobState(const QString &job) const
    {
        QByteArray output;
        QString error;
        if (!cluster->onLogin({QStringLiteral("squeue"), QStringLiteral("-h"), QStringLiteral("-j"), job, QStringLiteral("-o"),
                               QStringLiteral("%T|%r")},
                              output, error)) {
            return error;
        }
        return QString::fromLocal8Bit(output).trimmed();
    }

    // What Slurm remembers of a job that ended (for a few minutes).
    QString finalState(const QString &job) const
    {
        QByteArray output;
        QString error;
        if (!cluster->onLogin({QStringLiteral("scontrol"), QStringLiteral("show"), QStringLiteral("job"), QStringLiteral("-o"), job},
                              output, error)) {
            return error;
        }
        static const QRegularExpression state(QStringLiteral("JobState=(\\S+) .* ExitCode=(\\S+)"));
        const QRegularExpressionMatch match = state.match(QString::fromLocal8Bit(output));
        return match.hasMatch() ? match.captured(1) + QLatin1Char(' ') + match.captured(2) : QString::fromLocal8Bit(output);
    }

    // Submits a desktop job as the client does: lumen-job is the batch script itself.
    QString submitDesktop(const QString &id, QString &error)
    {
        const QByteArray script = QStringLiteral("#!/bin/sh\n"
                                                 "export FAKE_APP_MODE=stay\n" // the application keeps running
                                                 "exec lumen-job --id %1 --geometry 800x600 -- 'xterm -bg black'\n")
                                      .arg(id)
                                      .toLatin1();
        QByteArray output;
        if (!ssh(SlurmCluster::Login,
                 QStringLiteral("sbatch --parsable --job-name=lumen-%1 --signal=B:USR1@120").arg(id.left(8)), output,
                 error, script)) {
            return QString();
        }
        return QString::fromLocal8Bit(output).section(QLatin1Char(';'), 0, 0);
    }

    QString sessionFolder(const QString &id) const
    {
        return world->home() + QStringLiteral("/.lumen_server/node1/sessions/C-") + id;
    }

    // lumen as the user runs it from the laptop, here straight to the node's relay through the hop.
    bool lumenOnNode(const QStringList &arguments, QByteArray &output, QString &error)
    {
        QProcess lumen;
        lumen.setProcessEnvironment(world->processEnvironment());
        lumen.start(TestEnvironment::binary(QStringLiteral("lumen")),
                    QStringList{QStringLiteral("--ssh"), nodeSsh(),
                                QStringLiteral("ssh://%1@node1:%2/lumen_sci").arg(PrivateSshd::loginName()).arg(SshPort)}
                        + arguments);
        if (!lumen.waitForFinished(60000) || lumen.exitStatus() != QProcess::NormalExit || lumen.exitCode() != 0) {
            lumen.kill();
            lumen.waitForFinished(5000);
            error = QStringLiteral("lumen %1: %2").arg(arguments.join(QLatin1Char(' ')),
                                                       QString::fromLocal8Bit(lumen.readAllStandardError()));
            return false;
        }
        output = lumen.readAllStandardOutput();
        return true;
    }

    QString jobLog(const QString &job) const
    {
        return readText(world->home() + QStringLiteral("/slurm-%1.out").arg(job));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid() && reports.isValid());
        QString error;
        QVERIFY2(PrivateSshd::createKeys(keys.path(), error), qPrintable(error));
        world = std::make_unique<TestEnvironment>();
        QVERIFY(world->isValid());
        world->setSetting(QStringLiteral("DisplayBase"), DisplayBase);
        world->setSetting(QStringLiteral("DisplayLimit"), 10);
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                world->setVariable(QLatin1String(name), qEnvironmentVariable(name) + QStringLiteral(":log_path=")
                                                            + reports.filePath(QStringLiteral("job")));
            }
        }

        QElapsedTimer clock;
        clock.start();
        cluster = std::make_unique<SlurmCluster>(world->home());
        if (!cluster->start(error)) {
            QFAIL(qPrintable(QStringLiteral("Cannot bring up the Slurm cluster (root, iproute2, util-linux, munge, "
                                            "slurmctld and slurmd needed): ")
                             + error));
        }
        for (const SlurmCluster::Host host : {SlurmCluster::Login, SlurmCluster::Node}) {
            QVERIFY2(sshd[host].start(keys.path(), cluster->address(host), SshPort, world->processEnvironment(),
                                      cluster->host(host).launcher(), error),
                     qPrintable(error));
        }
        upMs = clock.elapsed();
    }

    void jobsRunOnTheNodeBehindTheLoginHost()
    {
        QCOMPARE(cluster->nodeState(), QStringLiteral("idle"));

        // The laptop reaches the node through the login host alone, and a direct try fails at once.
        QTcpSocket direct;
        QElapsedTimer clock;
        clock.start();
        direct.connectToHost(cluster->address(SlurmCluster::Node), SshPort);
        QVERIFY(!direct.waitForConnected(5000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(direct.errorString()));
        QByteArray output;
        QString error;
        QVERIFY2(ssh(SlurmCluster::Node, QStringLiteral("hostname"), output, error), qPrintable(error));
        QCOMPARE(output, QByteArray("node1"));

        // A job submitted on the login host runs on the node, inside the job.
        QVERIFY2(ssh(SlurmCluster::Login,
                     QStringLiteral("sbatch --parsable -J lumen-harness --wrap 'echo $$ > harness-$SLURM_JOB_ID.pid; exec sleep 300'"),
                     output, error),
                 qPrintable(error));
        const QString job = QString::fromLocal8Bit(output).section(QLatin1Char(';'), 0, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d+$")).match(job).hasMatch(), output.constData());
        QFile pidFile(world->home() + QStringLiteral("/harness-%1.pid").arg(job));
        QVERIFY2(Polling::waitUntil([&] { return pidFile.size() > 0; }, 15000, 50), qPrintable(cluster->logs()));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const qint64 jobProcess = pidFile.readAll().trimmed().toLongLong();
        QVERIFY(jobProcess > 0);
        QCOMPARE(SlurmCluster::jobOfProcess(jobProcess), job);
        QCOMPARE(SlurmCluster::jobOfProcess(QCoreApplication::applicationPid()), QString());
        QVERIFY2(jobState(job).startsWith(QStringLiteral("RUNNING|")), qPrintable(jobState(job)));

        // scancel ends it: its process at once, its entry once Slurm has cleaned up.
        QVERIFY2(ssh(SlurmCluster::Login, QStringLiteral("scancel ") + job, output, error), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return SlurmCluster::jobOfProcess(jobProcess).isEmpty(); }, 5000, 50),
                 "the job's process outlived scancel");
        QVERIFY2(Polling::waitUntil([&] { return jobState(job).isEmpty(); }, 15000, 100), qPrintable(jobState(job)));

        // A drained node keeps a job waiting, with the reason; scancel takes it off the queue.
        const QString node = QStringLiteral("NodeName=") + SlurmCluster::hostName(SlurmCluster::Node);
        QVERIFY2(cluster->onLogin({QStringLiteral("scontrol"), QStringLiteral("update"), node, QStringLiteral("State=DRAIN"),
                                   QStringLiteral("Reason=lumen-test")},
                                  output, error),
                 qPrintable(error));
        QVERIFY2(ssh(SlurmCluster::Login, QStringLiteral("sbatch --parsable --wrap 'exec sleep 300'"), output, error),
                 qPrintable(error));
        const QString waiting = QString::fromLocal8Bit(output).section(QLatin1Char(';'), 0, 0);
        QThread::msleep(1500); // a scheduling pass, which would start it on an idle node
        // The reason changes as the scheduler looks again: "ReqNodeNotAvail, UnavailableNodes:node1",
        // later "Nodes required for job are DOWN, DRAINED or ...".
        const QString state = jobState(waiting);
        QVERIFY2(QRegularExpression(QStringLiteral("^PENDING\\|.*(UnavailableNodes:node1|DRAINED)")).match(state).hasMatch(),
                 qPrintable(state));
        QVERIFY2(ssh(SlurmCluster::Login, QStringLiteral("scancel ") + waiting, output, error), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return jobState(waiting).isEmpty(); }, 5000, 100), qPrintable(jobState(waiting)));
        QVERIFY2(cluster->onLogin({QStringLiteral("scontrol"), QStringLiteral("update"), node, QStringLiteral("State=RESUME")},
                                  output, error),
                 qPrintable(error));
    }

    // lumen-job in real jobs: the session and the node's server it starts belong to the job; scancel
    // ends the session cleanly and leaves nothing; the session's end ends the job.
    void desktopJobAndSessionEndTogether()
    {
        QString error;
        const QString first = RpcClient::newSessionId();
        const QString job = submitDesktop(first, error);
        QVERIFY2(!job.isEmpty(), qPrintable(error));
        const QString folder = sessionFolder(first);
        QVERIFY2(Polling::waitUntil([&] { return readText(folder + QStringLiteral("/job")) == job; }, 30000, 100),
                 qPrintable(jobLog(job) + cluster->logs()));

        // Every process of the session (the agent's launcher and the application's, which work in
        // its folder) and the server it started on the node are the job's.
        const QList<qint64> sessionProcesses = SlurmCluster::sessionProcesses(folder);
        QVERIFY2(sessionProcesses.size() >= 2, qPrintable(jobLog(job)));
        for (const qint64 pid : sessionProcesses) {
            QCOMPARE(SlurmCluster::jobOfProcess(pid), job);
        }
        const QString serverPidFile = world->home() + QStringLiteral("/.lumen_server/node1/server_pid");
        QVERIFY2(Polling::waitUntil([&] { return !readText(serverPidFile).isEmpty(); }, 15000, 100), qPrintable(jobLog(job)));
        // The server is in the job's process tree, but carries none of its marks: it serves every job.
        const qint64 server = readText(serverPidFile).toLongLong();
        QCOMPARE(SlurmCluster::jobTreeOf(server), job);
        QCOMPARE(SlurmCluster::jobOfProcess(server), QString());

        // The node's server lists it, reached through the login host.
        QByteArray output;
        QVERIFY2(lumenOnNode({QStringLiteral("list")}, output, error), qPrintable(error + jobLog(job)));
        QVERIFY2(output.contains(first.left(8).toLatin1()), output.constData());

        // scancel: the agent's own stop, then nothing of the session or of the job is left.
        QVERIFY2(ssh(SlurmCluster::Login, QStringLiteral("scancel ") + job, output, error), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return !QFileInfo::exists(folder) && jobState(job).isEmpty(); }, 15000, 100),
                 qPrintable(jobState(job) + jobLog(job)));
        QVERIFY2(jobLog(job).contains(QStringLiteral("Ending the session: got SIGTERM")), qPrintable(jobLog(job)));
        for (const qint64 pid : sessionProcesses + QList<qint64>{server}) {
            QVERIFY2(SlurmCluster::jobTreeOf(pid).isEmpty(), qPrintable(QString::number(pid)));
        }

        // The session's end (terminate, through the node's server) ends the job, which completes.
        const QString second = RpcClient::newSessionId();
        const QString secondJob = submitDesktop(second, error);
        QVERIFY2(!secondJob.isEmpty(), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return readText(sessionFolder(second) + QStringLiteral("/job")) == secondJob; }, 30000,
                                    100),
                 qPrintable(jobLog(secondJob)));
        QVERIFY2(lumenOnNode({QStringLiteral("terminate"), second.left(8)}, output, error),
                 qPrintable(error + jobLog(secondJob) + readText(world->home() + QStringLiteral("/.lumen_server/node1/server_log"))));
        QVERIFY2(Polling::waitUntil([&] { return jobState(secondJob).isEmpty(); }, 15000, 100),
                 qPrintable(jobState(secondJob) + jobLog(secondJob)));
        QCOMPARE(finalState(secondJob), QStringLiteral("COMPLETED 0:0"));
        QVERIFY(!QFileInfo::exists(sessionFolder(second)));
    }

    void cleanupTestCase()
    {
        if (!cluster) {
            return;
        }
        // Down, and nothing of it left on the machine.
        const qint64 holder = cluster->host(SlurmCluster::Login).holderPid();
        const QString block = cluster->address(SlurmCluster::Login).section(QLatin1Char('.'), 0, 2) + QLatin1Char('.');
        QElapsedTimer clock;
        clock.start();
        sshd[SlurmCluster::Node].stop();
        sshd[SlurmCluster::Login].stop();
        cluster.reset();
        qInfo("The cluster came up in %lld ms (sshd included) and went down in %lld ms", upMs, clock.elapsed());
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(holder)));
        for (const QStringList &arguments : {QStringList{"-4", "-o", "addr"}, QStringList{"-4", "route", "show", "table", "all"}}) {
            QProcess ip;
            ip.start(QStringLiteral("ip"), arguments);
            QVERIFY(ip.waitForFinished(10000));
            QVERIFY(!ip.readAll().contains(block.toLatin1()));
        }
        const QStringList found = QDir(reports.path()).entryList(QDir::Files);
        for (const QString &name : found) {
            qWarning().noquote() << "--- " + name + "\n" + readText(reports.filePath(name));
        }
        QVERIFY2(found.isEmpty(), "a program run in a job reported a fault");
    }
};

QTEST_GUILESS_MAIN(SlurmClusterTest)
#include "tst_slurm_cluster.moc"

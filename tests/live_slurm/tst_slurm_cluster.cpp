// The batch cluster that the tests of desktops in Slurm jobs stand on: Debian's Slurm on a login
// host and a node, each in namespaces of its own, reached from the test (the laptop) by ssh through
// the login host only. Shows that jobs run where and as they would on a real cluster, and that the
// cluster comes up and goes away quickly and without a trace.

#include "private_sshd.h"

#include "tests/support/polling.h"
#include "tests/support/slurm_cluster.h"
#include "tests/support/test_environment.h"

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

} // namespace

class SlurmClusterTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir keys;

    // Runs a command by ssh on a host of the cluster, the node through the login host.
    bool ssh(const SlurmCluster &cluster, SlurmCluster::Host host, const QString &command, QByteArray &output,
             QString &error)
    {
        const QString base = PrivateSshd::sshCommand(keys.path()) + QStringLiteral(" -p %1").arg(SshPort);
        const QString login = PrivateSshd::loginName() + QLatin1Char('@') + cluster.address(SlurmCluster::Login);
        QStringList arguments = QProcess::splitCommand(base);
        if (host == SlurmCluster::Node) {
            // A hop that takes the same options as the last leg (ssh -J would drop the key).
            arguments << QStringLiteral("-o") << QStringLiteral("ProxyCommand=%1 -W %h:%p %2").arg(base, login)
                      << PrivateSshd::loginName() + QLatin1Char('@') + SlurmCluster::hostName(SlurmCluster::Node);
        } else {
            arguments << login;
        }
        arguments << command;
        QProcess process;
        process.start(arguments.first(), arguments.mid(1));
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            process.kill();
            process.waitForFinished(5000);
            error = QStringLiteral("ssh %1: %2").arg(command, QString::fromLocal8Bit(process.readAllStandardError()));
            return false;
        }
        output = process.readAllStandardOutput().trimmed();
        return true;
    }

    // The job's state and reason, empty once squeue no longer lists it.
    static QString jobState(const SlurmCluster &cluster, const QString &job)
    {
        QByteArray output;
        QString error;
        if (!cluster.onLogin({QStringLiteral("squeue"), QStringLiteral("-h"), QStringLiteral("-j"), job, QStringLiteral("-o"),
                              QStringLiteral("%T|%r")},
                             output, error)) {
            return error;
        }
        return QString::fromLocal8Bit(output).trimmed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid());
        QString error;
        QVERIFY2(PrivateSshd::createKeys(keys.path(), error), qPrintable(error));
    }

    void jobsRunOnTheNodeBehindTheLoginHost()
    {
        TestEnvironment world;
        QVERIFY(world.isValid());
        auto cluster = std::make_unique<SlurmCluster>(world.home());
        PrivateSshd sshd[2];
        const auto cleanUp = qScopeGuard([&] {
            sshd[SlurmCluster::Node].stop();
            sshd[SlurmCluster::Login].stop();
            cluster.reset();
        });
        QString error;
        QElapsedTimer clock;
        clock.start();
        if (!cluster->start(error)) {
            QFAIL(qPrintable(QStringLiteral("Cannot bring up the Slurm cluster (root, iproute2, util-linux, munge, "
                                            "slurmctld and slurmd needed): ")
                             + error));
        }
        for (const SlurmCluster::Host host : {SlurmCluster::Login, SlurmCluster::Node}) {
            QVERIFY2(sshd[host].start(keys.path(), cluster->address(host), SshPort, world.processEnvironment(),
                                      cluster->host(host).launcher(), error),
                     qPrintable(error));
        }
        const qint64 upMs = clock.elapsed();
        QCOMPARE(cluster->nodeState(), QStringLiteral("idle"));

        // The laptop reaches the node through the login host alone, and a direct try fails at once.
        QTcpSocket direct;
        clock.restart();
        direct.connectToHost(cluster->address(SlurmCluster::Node), SshPort);
        QVERIFY(!direct.waitForConnected(5000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(direct.errorString()));
        QByteArray output;
        QVERIFY2(ssh(*cluster, SlurmCluster::Node, QStringLiteral("hostname"), output, error), qPrintable(error));
        QCOMPARE(output, QByteArray("node1"));

        // A job submitted on the login host runs on the node, inside the job.
        QVERIFY2(ssh(*cluster, SlurmCluster::Login,
                     QStringLiteral("sbatch --parsable -J lumen-harness --wrap 'echo $$ > harness-$SLURM_JOB_ID.pid; exec sleep 300'"),
                     output, error),
                 qPrintable(error));
        const QString job = QString::fromLocal8Bit(output).section(QLatin1Char(';'), 0, 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d+$")).match(job).hasMatch(), output.constData());
        QFile pidFile(world.home() + QStringLiteral("/harness-%1.pid").arg(job));
        QVERIFY2(Polling::waitUntil([&] { return pidFile.size() > 0; }, 15000, 50), qPrintable(cluster->logs()));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const qint64 jobProcess = pidFile.readAll().trimmed().toLongLong();
        QVERIFY(jobProcess > 0);
        QCOMPARE(SlurmCluster::jobOfProcess(jobProcess), job);
        QCOMPARE(SlurmCluster::jobOfProcess(QCoreApplication::applicationPid()), QString());
        QVERIFY2(jobState(*cluster, job).startsWith(QStringLiteral("RUNNING|")), qPrintable(jobState(*cluster, job)));

        // scancel ends it: its process at once, its entry once Slurm has cleaned up.
        QVERIFY2(ssh(*cluster, SlurmCluster::Login, QStringLiteral("scancel ") + job, output, error), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return SlurmCluster::jobOfProcess(jobProcess).isEmpty(); }, 5000, 50),
                 "the job's process outlived scancel");
        QVERIFY2(Polling::waitUntil([&] { return jobState(*cluster, job).isEmpty(); }, 15000, 100),
                 qPrintable(jobState(*cluster, job)));

        // A drained node keeps a job waiting, with the reason; scancel takes it off the queue.
        QVERIFY2(cluster->onLogin({QStringLiteral("scontrol"), QStringLiteral("update"), QStringLiteral("NodeName=node1"),
                                   QStringLiteral("State=DRAIN"), QStringLiteral("Reason=lumen-test")},
                                  output, error),
                 qPrintable(error));
        QVERIFY2(ssh(*cluster, SlurmCluster::Login, QStringLiteral("sbatch --parsable --wrap 'exec sleep 300'"), output, error),
                 qPrintable(error));
        const QString waiting = QString::fromLocal8Bit(output).section(QLatin1Char(';'), 0, 0);
        QThread::msleep(1500); // a scheduling pass, which would start it on an idle node
        const QString state = jobState(*cluster, waiting);
        // The reason changes as the scheduler looks again: "ReqNodeNotAvail, UnavailableNodes:node1",
        // later "Nodes required for job are DOWN, DRAINED or ...".
        QVERIFY2(QRegularExpression(QStringLiteral("^PENDING\\|.*(UnavailableNodes:node1|DRAINED)")).match(state).hasMatch(),
                 qPrintable(state));
        QVERIFY2(ssh(*cluster, SlurmCluster::Login, QStringLiteral("scancel ") + waiting, output, error), qPrintable(error));
        QVERIFY2(Polling::waitUntil([&] { return jobState(*cluster, waiting).isEmpty(); }, 5000, 100),
                 qPrintable(jobState(*cluster, waiting)));

        // Down, and nothing of it left on the machine.
        const qint64 holder = cluster->host(SlurmCluster::Login).holderPid();
        const QString block = cluster->address(SlurmCluster::Login).section(QLatin1Char('.'), 0, 2);
        clock.restart();
        sshd[SlurmCluster::Node].stop();
        sshd[SlurmCluster::Login].stop();
        cluster.reset();
        const qint64 downMs = clock.elapsed();
        qInfo("The cluster came up in %lld ms (sshd included) and went down in %lld ms", upMs, downMs);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(holder)));
        QProcess routes;
        routes.start(QStringLiteral("ip"), {QStringLiteral("-4"), QStringLiteral("-o"), QStringLiteral("addr")});
        QVERIFY(routes.waitForFinished(10000));
        QVERIFY(!routes.readAll().contains((block + QLatin1Char('.')).toLatin1()));
        routes.start(QStringLiteral("ip"), {QStringLiteral("-4"), QStringLiteral("route"), QStringLiteral("show"),
                                            QStringLiteral("table"), QStringLiteral("all")});
        QVERIFY(routes.waitForFinished(10000));
        QVERIFY(!routes.readAll().contains((block + QLatin1Char('.')).toLatin1()));
    }
};

QTEST_GUILESS_MAIN(SlurmClusterTest)
#include "tst_slurm_cluster.moc"

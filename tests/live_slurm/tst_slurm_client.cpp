// Desktops in batch jobs as a user gets them from a laptop: `lumen login start --slurm` on a real
// Slurm cluster (a login host and a node, each in namespaces of its own; the laptop reaches the
// login host only), with the real launchers. One cluster serves every check, in the order of a
// user's day: a start cancelled while its job waits, a start that waits and then runs, its ticket
// used through the login host, a second job's session that outlives the first job (whose job had
// started the node's server), and a terminate that ends the job.

#include "private_sshd.h"

#include "tests/support/polling.h"
#include "tests/support/rfb_viewer.h"
#include "tests/support/slurm_cluster.h"
#include "tests/support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

constexpr quint16 SshPort = 22; // each host has a network of its own
constexpr quint16 BroadcastPort = 47231;
constexpr int DisplayBase = 160;

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

QByteArray environmentValue(qint64 pid, const QByteArray &name)
{
    QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
    if (environ.open(QIODevice::ReadOnly)) {
        for (const QByteArray &variable : environ.readAll().split('\0')) {
            if (variable.startsWith(name + '=')) {
                return variable.mid(name.size() + 1);
            }
        }
    }
    return QByteArray();
}

// lumen as the user runs it, in a process group of its own as a terminal would start it.
class Lumen
{
public:
    Lumen(const QProcessEnvironment &environment, const QStringList &arguments)
    {
        process.setProcessEnvironment(environment);
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        process.start(TestEnvironment::binary(QStringLiteral("lumen")), arguments);
    }
    ~Lumen()
    {
        if (process.state() != QProcess::NotRunning) {
            ::kill(-pid_t(process.processId()), SIGKILL);
            process.waitForFinished(5000);
        }
    }

    bool finish(int timeoutMs = 60000)
    {
        const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
        collect();
        return ended && process.exitStatus() == QProcess::NormalExit;
    }
    int status() const { return process.exitCode(); }
    bool waitFor(const QRegularExpression &pattern, int timeoutMs, QRegularExpressionMatch *match = nullptr)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            collect();
            const QRegularExpressionMatch found = pattern.match(errors + output);
            if (found.hasMatch()) {
                if (match != nullptr) {
                    *match = found;
                }
                return true;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
                return false;
            }
            process.waitForReadyRead(100);
        }
    }
    // Ctrl+C at a terminal: SIGINT to the whole process group (lumen and its ssh).
    void interrupt() { ::kill(-pid_t(process.processId()), SIGINT); }
    QString describe()
    {
        collect();
        return QStringLiteral("status %1\n--- output\n%2--- errors\n%3").arg(status()).arg(output, errors);
    }

    QString output;
    QString errors;

private:
    void collect()
    {
        output += QString::fromLocal8Bit(process.readAllStandardOutput());
        errors += QString::fromLocal8Bit(process.readAllStandardError());
    }
    QProcess process;
};

} // namespace

class SlurmClientTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir keys;
    QTemporaryDir reports; // sanitizer reports of the programs run on the hosts
    std::unique_ptr<TestEnvironment> world;
    std::unique_ptr<SlurmCluster> cluster;
    PrivateSshd sshd[2];

    QString sshBase() const { return PrivateSshd::sshCommand(keys.path()) + QStringLiteral(" -p %1").arg(SshPort); }
    QString login() const { return PrivateSshd::loginName() + QLatin1Char('@') + cluster->address(SlurmCluster::Login); }

    std::unique_ptr<Lumen> lumen(const QStringList &arguments) const
    {
        return std::make_unique<Lumen>(world->processEnvironment(),
                                       QStringList{QStringLiteral("--ssh"), sshBase(), login()} + arguments);
    }

    // squeue's "STATE|REASON" of the job; empty once it is gone.
    QString jobState(const QString &job) const
    {
        QByteArray output;
        QString error;
        if (!cluster->onLogin({QStringLiteral("squeue"), QStringLiteral("-h"), QStringLiteral("-j"), job,
                               QStringLiteral("-o"), QStringLiteral("%T|%r")},
                              output, error)) {
            return error.contains(QStringLiteral("Invalid job id")) ? QString() : error;
        }
        return QString::fromLocal8Bit(output).trimmed();
    }

    void slurm(const QStringList &command)
    {
        QByteArray output;
        QString error;
        QVERIFY2(cluster->onLogin(command, output, error), qPrintable(error));
    }

    QString sessionsFolder() const { return world->home() + QStringLiteral("/.lumen_server/node1/sessions"); }
    QString jobLog(const QString &job) const
    {
        return readText(world->home() + QStringLiteral("/.lumen_server/jobs/lumen-%1.log").arg(job));
    }
    QString serverLogs() const
    {
        return QStringLiteral("--- login server_log\n%1\n--- node1 server_log\n%2\n")
            .arg(readText(world->home() + QStringLiteral("/.lumen_server/login/server_log")).right(3000),
                 readText(world->home() + QStringLiteral("/.lumen_server/node1/server_log")).right(3000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid() && reports.isValid());
        QString error;
        QVERIFY2(PrivateSshd::createKeys(keys.path(), error), qPrintable(error));
        world = std::make_unique<TestEnvironment>();
        QVERIFY(world->isValid());
        world->prependPath(QStringLiteral(LUMEN_BIN_DIR)); // the real launchers
        // One settings file in the shared home serves both hosts.
        world->setSetting(QStringLiteral("DisplayBase"), DisplayBase);
        world->setSetting(QStringLiteral("DisplayLimit"), 10);
        world->setSetting(QStringLiteral("BroadcastPort"), BroadcastPort);
        world->setSetting(QStringLiteral("Peers"), QStringLiteral("login"));
        world->setSetting(QStringLiteral("SciUrl"), QStringLiteral("ssh://%1@@HOST@:%2/lumen_sci")
                                                        .arg(PrivateSshd::loginName())
                                                        .arg(SshPort));
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                world->setVariable(QLatin1String(name), qEnvironmentVariable(name) + QStringLiteral(":log_path=")
                                                            + reports.filePath(QStringLiteral("host")));
            }
        }
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
    }

    void desktopInABatchJob()
    {
        const QString node = QStringLiteral("NodeName=") + SlurmCluster::hostName(SlurmCluster::Node);
        const QRegularExpression pending(QStringLiteral("job (\\d+) pending \\(([^)]*)\\) \\d+:\\d\\d"));
        QRegularExpressionMatch match;

        // 0. An option sbatch refuses: its own words, and nothing submitted.
        auto refused = lumen({QStringLiteral("start"), QStringLiteral("--slurm=--no-such-option"), QStringLiteral("--no-viewer"),
                              QStringLiteral("xterm")});
        QVERIFY2(refused->finish() && refused->status() == 1, qPrintable(refused->describe()));
        QVERIFY2(refused->errors.contains(QStringLiteral("Slurm on %1 refused the job: ").arg(login()))
                     && refused->errors.contains(QStringLiteral("no-such-option")),
                 qPrintable(refused->describe()));

        // 1. The node is drained: the job waits, and Ctrl+C cancels it, leaving nothing behind.
        slurm({QStringLiteral("scontrol"), QStringLiteral("update"), node, QStringLiteral("State=DRAIN"),
               QStringLiteral("Reason=lumen-test")});
        auto cancelled = lumen({QStringLiteral("start"), QStringLiteral("--slurm=-t 5"), QStringLiteral("--no-viewer"),
                                QStringLiteral("--"), QStringLiteral("xterm")});
        QVERIFY2(cancelled->waitFor(pending, 30000, &match), qPrintable(cancelled->describe()));
        const QString cancelledJob = match.captured(1);
        cancelled->interrupt();
        QVERIFY2(cancelled->finish(30000) && cancelled->status() == 130, qPrintable(cancelled->describe()));
        QVERIFY2(cancelled->errors.contains(QStringLiteral("Cancelled job %1; nothing was left on %2.").arg(cancelledJob, login())),
                 qPrintable(cancelled->describe()));
        QCOMPARE(jobState(cancelledJob), QString());
        QCOMPARE(QDir(sessionsFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());

        // A waiting job is listed, and terminate cancels it by its id; the start waiting for it
        // says how its job ended. --slurm alone takes the options of the client's settings.
        QFile settings(world->configHome() + QStringLiteral("/Orvane/lumen.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("SlurmOptions=-t 9\n");
        settings.close();
        auto waiting = lumen({QStringLiteral("start"), QStringLiteral("--slurm"), QStringLiteral("--no-viewer"),
                              QStringLiteral("xterm")});
        QVERIFY2(waiting->waitFor(pending, 30000, &match), qPrintable(waiting->describe()));
        const QString waitingJob = match.captured(1);
        auto pendingList = lumen({QStringLiteral("list")});
        QVERIFY2(pendingList->finish() && pendingList->status() == 0, qPrintable(pendingList->describe()));
        QVERIFY2(QRegularExpression(QStringLiteral("\n- +- +pending +lumen-[0-9a-f]{8} +- +- +%1 +9:00\n").arg(waitingJob))
                     .match(pendingList->output)
                     .hasMatch(),
                 qPrintable(pendingList->output));
        auto cancel = lumen({QStringLiteral("terminate"), waitingJob});
        QVERIFY2(cancel->finish() && cancel->status() == 0, qPrintable(cancel->describe()));
        QCOMPARE(cancel->output, QStringLiteral("Cancelled job %1.\n").arg(waitingJob));
        QVERIFY2(waiting->finish(30000) && waiting->status() == 1, qPrintable(waiting->describe()));
        QVERIFY2(waiting->errors.contains(QStringLiteral("Job %1 ended (CANCELLED").arg(waitingJob)),
                 qPrintable(waiting->describe()));

        // 2. Again; the node comes back meanwhile: from waiting to running, and the usual lines.
        auto first = lumen({QStringLiteral("start"), QStringLiteral("--slurm=-t 5 --gres=gpu:1 --comment='a desktop'"),
                            QStringLiteral("--no-viewer"), QStringLiteral("--geometry"), QStringLiteral("800x600"),
                            QStringLiteral("--"), QStringLiteral("xterm")});
        QVERIFY2(first->waitFor(pending, 30000, &match), qPrintable(first->describe()));
        const QString jobN = match.captured(1);
        slurm({QStringLiteral("scontrol"), QStringLiteral("update"), node, QStringLiteral("State=RESUME")});
        QVERIFY2(first->finish(150000) && first->status() == 0,
                 qPrintable(first->describe() + jobLog(jobN) + serverLogs() + cluster->logs()));
        const QRegularExpressionMatch lines =
            QRegularExpression(QStringLiteral("session +([0-9a-f]{32})\nhost +(\\S+)\nport +(\\d+)\npassword +(\\S+)"))
                .match(first->output);
        QVERIFY2(lines.hasMatch(), qPrintable(first->describe()));
        const QString sessionN = lines.captured(1);
        QCOMPARE(lines.captured(2), QStringLiteral("ssh://%1@node1:%2/lumen_sci").arg(PrivateSshd::loginName()).arg(SshPort));
        const QString folderN = sessionsFolder() + QStringLiteral("/C-") + sessionN;
        QCOMPARE(readText(folderN + QStringLiteral("/job")), jobN);

        // Listed by the login host with its job and the time it has left.
        auto list = lumen({QStringLiteral("list")});
        QVERIFY2(list->finish() && list->status() == 0, qPrintable(list->describe()));
        QVERIFY2(QRegularExpression(QStringLiteral("JOB +LEFT\n")).match(list->output).hasMatch(), qPrintable(list->output));
        QVERIFY2(QRegularExpression(QStringLiteral("\n%1 +node1 .* %2 +[0-9]:[0-9]{2}\n").arg(sessionN.left(8), jobN))
                     .match(list->output)
                     .hasMatch(),
                 qPrintable(list->output));
        auto json = lumen({QStringLiteral("list"), QStringLiteral("--json")});
        QVERIFY2(json->finish() && json->status() == 0, qPrintable(json->describe()));
        const QJsonArray records = QJsonDocument::fromJson(json->output.toUtf8()).array();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0)[QStringLiteral("id")].toString(), sessionN);
        QCOMPARE(records.at(0)[QStringLiteral("job")].toString(), jobN);
        QCOMPARE(records.at(0)[QStringLiteral("jobState")].toString(), QStringLiteral("running"));
        QVERIFY(!records.at(0)[QStringLiteral("timeLeft")].toString().isEmpty());

        // 3. The ticket works through the login host: the ssh command lumen printed carries the
        // forward through it.
        const QRegularExpressionMatch printed =
            QRegularExpression(QStringLiteral("reach it through ssh:\n  (.*)\n.*\n  vncviewer localhost::(\\d+)")).match(first->errors);
        QVERIFY2(printed.hasMatch(), qPrintable(first->describe()));
        QVERIFY2(printed.captured(1).contains(QStringLiteral("ProxyCommand=")), qPrintable(printed.captured(1)));
        QProcess tunnel; // as the user pastes it into a shell
        tunnel.setProcessEnvironment(world->processEnvironment());
        tunnel.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + printed.captured(1)});
        const auto endTunnel = qScopeGuard([&] {
            tunnel.kill();
            tunnel.waitForFinished(5000);
        });
        RfbViewer viewer;
        QVERIFY2(Polling::waitUntil([&] { return viewer.connectToPort(quint16(printed.captured(2).toUInt()), 1000); }, 20000, 200),
                 qPrintable(QString::fromLocal8Bit(tunnel.readAllStandardError())));
        const RfbViewer::Handshake handshake = viewer.authenticate(lines.captured(4));
        QVERIFY2(handshake.accepted, qPrintable(handshake.failureReason + viewer.error()));
        QCOMPARE(handshake.width, 800);

        // Every process of the session is the job's: launchers, X server, application; and the
        // session has the job's (fake) GPU.
        const QList<qint64> processesN = SlurmCluster::sessionProcesses(folderN);
        QVERIFY2(processesN.size() >= 3, qPrintable(QString::number(processesN.size())));
        bool applicationSeen = false;
        for (const qint64 pid : processesN) {
            QCOMPARE(SlurmCluster::jobOfProcess(pid), jobN);
            applicationSeen = applicationSeen || readText(QStringLiteral("/proc/%1/comm").arg(pid)) == QLatin1String("xterm");
        }
        QVERIFY(applicationSeen);
        QCOMPARE(environmentValue(processesN.first(), "CUDA_VISIBLE_DEVICES"), QByteArray("0"));

        // 4. A second job's session while the node's server is job N's: scancel N ends session N
        // and its record; session M stays listed (its lumen-job starts a server again).
        auto second = lumen({QStringLiteral("start"), QStringLiteral("--slurm=-t 5"), QStringLiteral("--no-viewer"),
                             QStringLiteral("--"), QStringLiteral("xterm")});
        QVERIFY2(second->finish(150000) && second->status() == 0, qPrintable(second->describe() + serverLogs()));
        const QString sessionM =
            QRegularExpression(QStringLiteral("session +([0-9a-f]{32})")).match(second->output).captured(1);
        const QString jobM = QRegularExpression(QStringLiteral("Submitted job (\\d+)")).match(second->errors).captured(1);
        QVERIFY2(!sessionM.isEmpty() && !jobM.isEmpty(), qPrintable(second->describe()));
        slurm({QStringLiteral("scancel"), jobN});
        std::unique_ptr<Lumen> after;
        QVERIFY2(Polling::waitUntil([&] {
                     after = lumen({QStringLiteral("list")});
                     return after->finish() && after->status() == 0 && !after->output.contains(sessionN.left(8))
                            && after->output.contains(sessionM.left(8));
                 }, 40000, 1000),
                 qPrintable(after->describe() + serverLogs()));
        QVERIFY(!QFileInfo::exists(folderN));
        QCOMPARE(jobState(jobN), QString());

        // 5. The session's end ends its job.
        auto terminate = lumen({QStringLiteral("terminate"), sessionM.left(8)});
        QVERIFY2(terminate->finish() && terminate->status() == 0, qPrintable(terminate->describe() + serverLogs()));
        QVERIFY2(Polling::waitUntil([&] { return jobState(jobM).isEmpty(); }, 20000, 200), qPrintable(jobState(jobM)));
        QVERIFY(!QFileInfo::exists(sessionsFolder() + QStringLiteral("/C-") + sessionM));
    }

    void cleanupTestCase()
    {
        if (!cluster) {
            return;
        }
        sshd[SlurmCluster::Node].stop();
        sshd[SlurmCluster::Login].stop();
        cluster.reset();
        const QStringList found = QDir(reports.path()).entryList(QDir::Files);
        for (const QString &name : found) {
            qWarning().noquote() << "--- " + name + "\n" + readText(reports.filePath(name));
        }
        QVERIFY2(found.isEmpty(), "a program on the cluster reported a fault");
    }
};

QTEST_GUILESS_MAIN(SlurmClientTest)
#include "tst_slurm_client.moc"

// A batch start's parts without Slurm: sbatch's options split as a shell splits them and quoted
// again for the login shell (checked against a real sh), the settings' SlurmOptions, the script
// that runs lumen-job, squeue's rows, and the session list with its jobs.

#include "client/command_line/client_options.h"
#include "client/command_line/client_settings.h"
#include "client/host/host_commands.h"
#include "client/batch/job_wait.h"
#include "client/sessions/session_jobs.h"
#include "client/sessions/session_table.h"
#include "client/command_line/shell_words.h"
#include "client/batch/slurm_commands.h"
#include "client/batch/slurm_job.h"
#include "common/json_text.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// What /bin/sh makes of a command line: its words, one per line (printf '%s\n').
QStringList wordsOfSh(const QString &commandLine)
{
    QProcess sh;
    sh.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s\\n' ") + commandLine});
    if (!sh.waitForFinished(10000)) {
        return {QStringLiteral("<sh did not end>")};
    }
    QString output = QString::fromUtf8(sh.readAllStandardOutput());
    output.chop(1);
    return output.split(QLatin1Char('\n'));
}

Json::Value record(const QString &id, const QString &job = QString())
{
    Json::Value value(Json::objectValue);
    value["id"] = id.toStdString();
    value["name"] = "xterm";
    value["location"] = "ssh://me@node1:22/lumen_sci";
    value["permissions"] = "";
    if (!job.isEmpty()) {
        value["job"] = job.toStdString();
    }
    return value;
}

} // namespace

class TestBatchClient : public QObject
{
    Q_OBJECT

private slots:
    void optionsAreSplitLikeAShellAndNeverRunAsSyntax()
    {
        // The user's text split as sh splits it, then quoted again: sh gets back exactly those words.
        const QString text = QStringLiteral("-t 2:00:00 --gres=gpu:1 -J \"my job\" --comment='a \"b\" $HOME `id`' "
                                            "x\\ y \"q\\\"uote\\\\\" '' --x=\"$(reboot)\"");
        QStringList words;
        QString error;
        QVERIFY2(splitShellWords(text, words, error), qPrintable(error));
        const QStringList expected = {QStringLiteral("-t"), QStringLiteral("2:00:00"), QStringLiteral("--gres=gpu:1"),
                                      QStringLiteral("-J"), QStringLiteral("my job"),
                                      QStringLiteral("--comment=a \"b\" $HOME `id`"), QStringLiteral("x y"),
                                      QStringLiteral("q\"uote\\"), QString(), QStringLiteral("--x=$(reboot)")};
        QCOMPARE(words, expected);
        QCOMPARE(wordsOfSh(shellCommand(words)), expected);

        for (const QString &bad : {QStringLiteral("-t '5"), QStringLiteral("-J \"x"), QStringLiteral("-t 5 \\")}) {
            QVERIFY2(!splitShellWords(bad, words, error), qPrintable(bad));
        }

        // On the command line: only --slurm=OPTIONS takes them; a word after --slurm is the application.
        ClientOptions options;
        QVERIFY2(ClientOptions::parse({QStringLiteral("login"), QStringLiteral("start"), QStringLiteral("--slurm=-t 5 -J 'a b'"),
                                       QStringLiteral("--no-viewer"), QStringLiteral("--"), QStringLiteral("xterm")},
                                      options, error),
                 qPrintable(error));
        QVERIFY(options.slurm() && options.hasSlurmOptions());
        QCOMPARE(options.slurmOptions(), (QStringList{"-t", "5", "-J", "a b"}));
        QVERIFY(ClientOptions::parse({QStringLiteral("login"), QStringLiteral("start"), QStringLiteral("--slurm"),
                                      QStringLiteral("xterm")},
                                     options, error));
        QVERIFY(options.slurm() && !options.hasSlurmOptions());
        QCOMPARE(options.applicationCommand(), QStringLiteral("xterm"));
        QVERIFY(!ClientOptions::parse({QStringLiteral("login"), QStringLiteral("start"), QStringLiteral("--slurm=-t '5"),
                                       QStringLiteral("xterm")},
                                      options, error));
        QVERIFY2(error.contains(QStringLiteral("single quote")), qPrintable(error));
        QVERIFY(!ClientOptions::parse({QStringLiteral("login"), QStringLiteral("list"), QStringLiteral("--slurm")}, options, error));
        QVERIFY(ClientOptions::parse({QStringLiteral("--direct"), QStringLiteral("login"), QStringLiteral("attach")}, options, error));
        QVERIFY(options.direct());
    }

    void settingsGiveTheOptionsPerHost()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        QDir().mkpath(home.filePath(QStringLiteral("Orvane")));
        QCOMPARE(ClientSettings::path(), home.filePath(QStringLiteral("Orvane/lumen.conf")));
        QCOMPARE(ClientSettings::slurmOptions(QStringLiteral("login"), QStringLiteral("login")), QString());
        QFile file(ClientSettings::path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("SlurmOptions=-t 1:00:00 --gres=gpu:1,shard:2\n[big]\nSlurmOptions=\"-p big -t 8:00:00\"\n");
        file.close();
        QCOMPARE(ClientSettings::slurmOptions(QStringLiteral("me@login"), QStringLiteral("login")),
                 QStringLiteral("-t 1:00:00 --gres=gpu:1,shard:2"));
        QCOMPARE(ClientSettings::slurmOptions(QStringLiteral("me@big"), QStringLiteral("big")), QStringLiteral("-p big -t 8:00:00"));
        qunsetenv("XDG_CONFIG_HOME");
    }

    // The submission and the script, run by a real sh with stand-ins for sbatch and lumen-job.
    void submissionQuotesEverythingItPasses()
    {
        QTemporaryDir bin;
        QVERIFY(bin.isValid());
        const auto writeScript = [&](const QString &name, const QByteArray &body) {
            QFile file(bin.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n" + body);
            file.close();
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        };
        // sbatch: its arguments, then the script on its input, which it runs.
        writeScript(QStringLiteral("sbatch"), "printf '%s\\n' \"$@\"; cat > \"$0.job\"; sh \"$0.job\"\n");
        writeScript(QStringLiteral("lumen-job"), "printf 'job:%s\\n' \"$@\"\n");
        const QString id = QStringLiteral("0123456789abcdef0123456789abcdef");
        const QStringList user = {QStringLiteral("-J"), QStringLiteral("it's; rm -rf ~")};
        const QString command = QStringLiteral("xterm -title \"it's $HOME\"; echo done");
        const ProgramCall call = HostCommands({}, HostTarget(), QString()).shell(SlurmCommands::submit(id, user));
        QProcess sh;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), bin.path() + QStringLiteral(":/usr/bin:/bin"));
        environment.insert(QStringLiteral("HOME"), bin.path());
        sh.setProcessEnvironment(environment);
        // HostTarget() is no local host: run the command line as the login shell would.
        sh.start(QStringLiteral("sh"), {QStringLiteral("-c"), call.arguments.last()});
        sh.write(SlurmCommands::script(id, QStringLiteral("800x600"), command));
        sh.closeWriteChannel();
        QVERIFY(sh.waitForFinished(10000));
        const QStringList lines = QString::fromUtf8(sh.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines, (QStringList{"--parsable", "--signal=B:USR1@120",
                                     "--output=" + bin.path() + "/.lumen_server/jobs/lumen-%j.log", "-J", "it's; rm -rf ~",
                                     "--job-name=lumen-01234567", "job:--id", "job:" + id, "job:--geometry", "job:800x600", "job:--", "job:" + command}));
        QVERIFY(QFileInfo(bin.filePath(QStringLiteral(".lumen_server/jobs"))).isDir());

        // Without sbatch: the status that names it.
        QFile::remove(bin.filePath(QStringLiteral("sbatch")));
        environment.insert(QStringLiteral("PATH"), bin.path());
        sh.setProcessEnvironment(environment);
        sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), call.arguments.last()});
        QVERIFY(sh.waitForFinished(10000));
        QCOMPARE(sh.exitCode(), SlurmCommands::noSbatch);
    }

    void hopRidesTheNamedHostsConnection()
    {
        HostTarget login;
        HostTarget node;
        QString error;
        QVERIFY(HostTarget::parse(QStringLiteral("me@login"), login, error));
        QVERIFY(HostTarget::fromLocation(QUrl(QStringLiteral("ssh://me@node1:22/lumen_sci")), node, error));
        const QStringList ssh = {QStringLiteral("ssh"), QStringLiteral("-i"), QStringLiteral("/keys/my key%1")};
        HostCommands commands(ssh, node, QStringLiteral("/tmp/lumen-x/ssh-1"));
        commands.setHop(HostCommands(ssh, login, QStringLiteral("/tmp/lumen-x/ssh-0")));
        const QStringList relay = commands.relay().arguments;
        int proxy = -1;
        for (int i = 0; i < relay.size() && proxy < 0; ++i) {
            proxy = relay.at(i).startsWith(QStringLiteral("ProxyCommand=")) ? i : -1;
        }
        QVERIFY2(proxy > 0, qPrintable(relay.join(QLatin1Char(' '))));
        // The hop keeps the user's key (ssh -J would drop it), with its % doubled for ssh.
        QCOMPARE(relay.at(proxy), QStringLiteral("ProxyCommand=ssh -i '/keys/my key%%1' -o ConnectTimeout=10 -o "
                                                 "ControlPath=/tmp/lumen-x/ssh-0 -o ControlMaster=no -W %h:%p me@login"));
        QVERIFY(relay.contains(QStringLiteral("ControlPath=/tmp/lumen-x/ssh-1")));
        // The command printed for the user runs after lumen has ended: no master to ride.
        const QStringList forward = commands.portForward(5901, 41150).arguments;
        QVERIFY(forward.contains(QStringLiteral("ProxyCommand=ssh -i '/keys/my key%%1' -o ConnectTimeout=10 -W %h:%p me@login")));
    }

    void queueRowsJoinTheSessionList()
    {
        SlurmJob job;
        QVERIFY(SlurmJob::fromQueueLine(QStringLiteral("4712|lumen-3f2a9c01|PENDING|ReqNodeNotAvail, UnavailableNodes:node1|5:00|"),
                                        job));
        QCOMPARE(job.reason(), QStringLiteral("ReqNodeNotAvail, UnavailableNodes:node1"));
        QCOMPARE(JobWait::statusLine(QStringLiteral("4712"), job, 62500),
                 QStringLiteral("job 4712 pending (ReqNodeNotAvail, UnavailableNodes:node1) 1:02"));
        QVERIFY(SlurmJob::fromQueueLine(QStringLiteral("4711|lumen-aaaaaaaa|PENDING|None|UNLIMITED|"), job));
        QCOMPARE(JobWait::statusLine(QStringLiteral("4711"), job, 3000), QStringLiteral("job 4711 pending 0:03"));
        QVERIFY(!SlurmJob::fromQueueLine(QStringLiteral("slurm_load_jobs error: Invalid job id specified"), job));

        const QString queue = QStringLiteral("4700|lumen-bbbbbbbb|RUNNING|None|1:58:02|node1\n"
                                             "4701|lumen-cccccccc|RUNNING|None|INVALID|node2\n"
                                             "4702|build|RUNNING|None|10:00|node3\n"
                                             "4712|lumen-3f2a9c01|PENDING|Resources|5:00|\n");
        Json::Value records(Json::arrayValue);
        records.append(record(QStringLiteral("aaaaaaaa000000000000000000000000"), QStringLiteral("4700")));
        records.append(record(QStringLiteral("cccccccc000000000000000000000000"))); // an older node's server
        records.append(record(QStringLiteral("dddddddd000000000000000000000000")));
        const SessionJobs jobs(records, SlurmJob::fromQueue(queue));
        QCOMPARE(jobs.jobOf(QStringLiteral("aaaaaaaa000000000000000000000000")).timeLeft(), QStringLiteral("1:58:02"));
        QCOMPARE(jobs.jobOf(QStringLiteral("cccccccc000000000000000000000000")).timeLeft(), QStringLiteral("-"));
        QVERIFY(jobs.jobOf(QStringLiteral("dddddddd000000000000000000000000")).id().isEmpty());
        QCOMPARE(jobs.waiting().size(), 1);
        QCOMPARE(jobs.waiting().first().id(), QStringLiteral("4712"));

        SessionEntryList entries;
        for (const Json::Value &value : records) {
            SessionEntry entry;
            QVERIFY(SessionEntry::fromJson(value, entry));
            entries << entry;
        }
        const QStringList table = SessionTable(QStringLiteral("login"), 8).format(entries, &jobs).split(QLatin1Char('\n'));
        QVERIFY2(table.at(0).endsWith(QStringLiteral("JOB   LEFT")), qPrintable(table.at(0)));
        QVERIFY2(table.at(1).endsWith(QStringLiteral("4700  1:58:02")), qPrintable(table.at(1)));
        QVERIFY2(table.at(3).endsWith(QStringLiteral("-     -")), qPrintable(table.at(3)));
        QVERIFY2(QRegularExpression(QStringLiteral("^- +- +pending +lumen-3f2a9c01 .*4712 +5:00$")).match(table.at(4)).hasMatch(),
                 qPrintable(table.at(4)));
        // Without jobs, the table is as it always was.
        QVERIFY(!SessionTable(QStringLiteral("login"), 8).format(entries, nullptr).contains(QStringLiteral("JOB")));

        const Json::Value annotated = jobs.annotate(records);
        QCOMPARE(annotated.size(), 4u);
        QCOMPARE(annotated[0]["job"].asString(), std::string("4700"));
        QCOMPARE(annotated[0]["jobState"].asString(), std::string("running"));
        QCOMPARE(annotated[0]["timeLeft"].asString(), std::string("1:58:02"));
        QVERIFY(!annotated[2].isMember("job"));
        QCOMPARE(compactJson(annotated[3]).trimmed(), QByteArray(R"({"job":"4712","jobState":"pending","timeLeft":"5:00"})"));
    }

    void anEndedJobIsExplainedWithItsLog()
    {
        const QString sep = SlurmCommands::separator();
        QCOMPARE(JobWait::endedText(QStringLiteral("4711"),
                                    QStringLiteral("JobId=4711 JobState=FAILED Reason=NonZeroExitCode ExitCode=2:0 "
                                                   "StdOut=/home/me/.lumen_server/jobs/lumen-4711.log\n%1\nno display free\n")
                                        .arg(sep)),
                 QStringLiteral("Job 4711 ended (FAILED, exit 2) before its session appeared:\nno display free"));
        QCOMPARE(JobWait::endedText(QStringLiteral("4711"),
                                    QStringLiteral("JobId=4711 JobState=CANCELLED ExitCode=0:15 StdOut=/scratch/out\n%1\n").arg(sep)),
                 QStringLiteral("Job 4711 ended (CANCELLED, signal 15) before its session appeared; its output is in "
                                "/scratch/out on the host."));
        QCOMPARE(JobWait::endedText(QStringLiteral("4711"), sep + QLatin1Char('\n')),
                 QStringLiteral("Job 4711 ended before its session appeared."));
    }
};

QTEST_GUILESS_MAIN(TestBatchClient)
#include "tst_batch_client.moc"

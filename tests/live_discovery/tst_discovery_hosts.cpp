#include "tests/support/network_namespaces.h"
#include "tests/support/polling.h"
#include "tests/support/rpc_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_environment.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>

namespace {

const int broadcastPort = 47110;
constexpr int hostCount = 3;

} // namespace

// Hosts of one network, each running the same user's server: what one of them starts, the others
// list, until the first one goes away. Hosts 0 and 1 share a subnet; host 2 is on another one,
// behind a router that no broadcast crosses.
class DiscoveryHostsTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<NetworkNamespaces> hosts;
    QTemporaryDir shared; // the home folder part that the hosts share: certificate and key
    std::unique_ptr<TestEnvironment> env[hostCount];
    std::unique_ptr<ServerRunner> server[hostCount];

    QString location(int host) const { return QString("ssh://host-%1:22/lumen_sci").arg(host); }

    bool launch(int host, QString &error)
    {
        QByteArray output;
        return hosts->run(host, TestEnvironment::binary("lumen_server"), {}, env[host]->processEnvironment(), output,
                          error)
               && server[host]->waitForFile("server_port");
    }

    // The reply of the server on that host, through a client inside its namespace.
    Json::Value call(int host, const QString &method, const QString &params = QString())
    {
        QStringList arguments = {"call", QString::number(server[host]->port()), shared.path() + "/server_cert",
                                 shared.path() + "/server_key", method};
        if (!params.isEmpty()) {
            arguments << params;
        }
        QByteArray output;
        QString error;
        Json::Value response;
        if (!hosts->run(host, TestEnvironment::binary("discovery_call"), arguments, env[host]->processEnvironment(),
                        output, error)
            || !(response = RpcClient::parse(output)).isObject()) {
            return Json::Value(error.isEmpty() ? QString("unreadable: " + output).toStdString() : error.toStdString());
        }
        return response;
    }

    bool startSession(int host, const QString &command, const QString &id)
    {
        const Json::Value started = call(host, "Live.Start", QString("[\"%1\",\"%2\",\"1024x768\"]").arg(id, command));
        return started.isObject() && started.isMember("result");
    }

    // Runs the change on the host while a client on every host waits for its server to list exactly
    // these sessions; how long after that host's own server the last of them did (-1 if one did not).
    qint64 timeUntilAllList(const QStringList &ids, int origin, const std::function<bool()> &change, QString &report)
    {
        QProcess waiting[hostCount];
        for (int host = 0; host < hostCount; ++host) {
            hosts->start(host, waiting[host], TestEnvironment::binary("discovery_call"),
                         {"await", QString::number(server[host]->port()), shared.path() + "/server_cert",
                          shared.path() + "/server_key", ids.join(','), "20"},
                         env[host]->processEnvironment());
        }
        if (!change()) {
            report = "the change failed";
            return -1;
        }
        qint64 at[hostCount];
        for (int host = 0; host < hostCount; ++host) {
            waiting[host].waitForFinished(30000);
            const Json::Value seen = RpcClient::parse(waiting[host].readAllStandardOutput());
            if (!seen.isObject()) {
                report = QString("host %1: %2\n%3").arg(host).arg(QString::fromLocal8Bit(waiting[host].readAllStandardError()),
                                                                server[host]->log());
                return -1;
            }
            at[host] = seen["at"].asInt64();
        }
        return *std::max_element(at, at + hostCount) - at[origin];
    }

private slots:
    void init()
    {
        hosts = std::make_unique<NetworkNamespaces>(2, 1);
        QString error;
        if (!hosts->create(error)) {
            QFAIL(qPrintable("Cannot create network namespaces joined by veth pairs, a bridge and a router; this test "
                             "must run as root with iproute2: " + error));
        }
        QVERIFY(shared.isValid());
        QVERIFY2(createCertificate(shared.path() + "/server_cert", shared.path() + "/server_key", error),
                 qPrintable(error));
        for (int host = 0; host < hostCount; ++host) {
            env[host] = std::make_unique<TestEnvironment>();
            if (host > 0) {
                env[host]->setUser(env[0]->user());
            }
            env[host]->setSetting("UserPath", shared.path() + QString("/host-%1").arg(host));
            env[host]->setSetting("SciUrl", location(host));
            env[host]->setSetting("BroadcastPort", broadcastPort);
            env[host]->setSetting("BroadcastAddress", hosts->broadcastAddress(host));
            env[host]->setSetting("DisplayBase", 300);
            env[host]->setSetting("DisplayLimit", 10);
            env[host]->setSetting("LogLevel", "Debug1");
            QVERIFY(env[host]->createUserPath());
            server[host] = std::make_unique<ServerRunner>(*env[host]);
        }
    }

    void cleanup()
    {
        for (int host = hostCount - 1; host >= 0; --host) {
            server[host].reset();
        }
        hosts.reset(); // ends what still runs inside, the session's agent among them
        for (int host = hostCount - 1; host >= 0; --host) {
            env[host].reset();
        }
    }

    void sessionsOfOneHostAreListedOnTheOther()
    {
        QString error;
        QVERIFY2(launch(0, error), qPrintable(error));
        const quint16 firstPort = server[0]->port();
        const QString early = RpcClient::newSessionId();
        Json::Value started = call(0, "Live.Start", QString("[\"%1\",\"xterm\",\"1024x768\"]").arg(early));
        QVERIFY2(started.isObject() && started.isMember("result"), started.toStyledString().c_str());

        // Host 1 learns of the earlier session through the start-up exchange alone: its HELLO makes
        // host 0 answer with an UPDATE, which makes host 1 ask host 0.
        QVERIFY2(launch(1, error), qPrintable(error));
        Json::Value listed;
        auto listedOnSecondHost = [&](QStringList ids) {
            ids.sort();
            return Polling::waitUntil([&] {
                listed = call(1, "Live.ListSessions");
                QStringList present = RpcClient::idsOf(listed["result"]);
                present.sort();
                return present == ids;
            }, 20000);
        };
        QVERIFY2(listedOnSecondHost({early}), qPrintable(QString::fromStdString(listed.toStyledString()) + server[1]->log()));
        QCOMPARE(QString::fromStdString(listed["result"][0]["location"].asString()), location(0));

        // A change of host 0's list is announced at once.
        const QString later = RpcClient::newSessionId();
        started = call(0, "Live.Start", QString("[\"%1\",\"xclock\",\"rootless\"]").arg(later));
        QVERIFY2(started.isObject() && started.isMember("result"), started.toStyledString().c_str());
        QVERIFY2(listedOnSecondHost({early, later}),
                 qPrintable(QString::fromStdString(listed.toStyledString()) + server[1]->log()));
        const Json::Value local = call(1, "Live.ListLocalSessions");
        QVERIFY2(local.isMember("result") && local["result"].isNull(), local.toStyledString().c_str());

        // Host 0 goes, saying so as it exits: host 1 asks, fails and forgets it at once instead of
        // after the entry's 400 s.
        QVERIFY(server[0]->stop(SIGTERM));
        QVERIFY2(Polling::waitUntil([&] { return call(1, "Live.ListSessions")["result"].isNull(); }, 5000),
                 qPrintable(server[1]->log()));
        const QString failure =
            QString("Warning: Failed to connect to \"%1\" port \"%2\"").arg(hosts->address(0)).arg(firstPort);
        QVERIFY2(server[1]->log().contains(failure), qPrintable(server[1]->log()));
    }

    // Hosts 0 and 1 name host 2 in "Peers", as a settings file shared by the hosts would (with host 0
    // itself, which it skips, a name that does not resolve and an address where nothing answers);
    // host 2 names nobody and has no broadcast, and learns of the others from their announcements.
    // Every change reaches every server, and the lookups that hang hold up no client.
    void namedPeersReachAnotherSubnet()
    {
        const QStringList peers = {hosts->hostName(0), hosts->hostName(2) + ":" + QString::number(broadcastPort),
                                   "nosuchhost", hosts->silentAddress(0)};
        env[0]->setSetting("Peers", peers);
        env[1]->setSetting("Peers", peers);
        env[2]->setSetting("BroadcastAddress", "");
        QString error;
        QVERIFY2(launch(2, error), qPrintable(error));
        const QString early = RpcClient::newSessionId();
        QVERIFY(startSession(2, "xterm", early));
        QVERIFY2(launch(0, error) && launch(1, error), qPrintable(error));
        QProcess probe;
        hosts->start(0, probe, TestEnvironment::binary("discovery_call"),
                     {"probe", QString::number(server[0]->port()), shared.path() + "/server_cert",
                      shared.path() + "/server_key", "10"},
                     env[0]->processEnvironment());
        QVERIFY(probe.waitForStarted());

        // How long a change on one host takes to be listed everywhere.
        QString report;
        const qint64 joined = timeUntilAllList({early}, 2, [] { return true; }, report);
        QVERIFY2(joined >= 0, qPrintable(report));
        const QString first = RpcClient::newSessionId();
        const qint64 startedOnFirst = timeUntilAllList({early, first}, 0, [&] { return startSession(0, "xclock", first); }, report);
        QVERIFY2(startedOnFirst >= 0, qPrintable(report));
        const QString later = RpcClient::newSessionId();
        const qint64 startedOnThird =
            timeUntilAllList({early, first, later}, 2, [&] { return startSession(2, "xeyes", later); }, report);
        QVERIFY2(startedOnThird >= 0, qPrintable(report));
        const qint64 endedOnFirst = timeUntilAllList({early, later}, 0, [&] {
            return call(0, "Live.Terminate", QString("[\"%1\"]").arg(first)).isMember("result");
        }, report);
        QVERIFY2(endedOnFirst >= 0, qPrintable(report));
        for (const Json::Value &record : call(0, "Live.ListSessions")["result"]) {
            QCOMPARE(QString::fromStdString(record["location"].asString()), location(2));
        }

        QVERIFY(probe.waitForFinished(30000));
        const QByteArray probed = probe.readAllStandardOutput().trimmed();
        const Json::Value figures = RpcClient::parse(probed);
        QVERIFY2(figures.isObject(), probe.readAllStandardError().constData());
        qInfo("the last server listed, after the host's own: host 2's first session %lld ms (as the others came up), "
              "a session started on host 0 %lld ms, one started on host 2 %lld ms, the end of one on host 0 %lld ms; "
              "probe of host 0: %s",
              static_cast<long long>(joined), static_cast<long long>(startedOnFirst),
              static_cast<long long>(startedOnThird), static_cast<long long>(endedOnFirst), probed.constData());
        QCOMPARE(figures["unanswered"].asInt(), 0);
        QVERIFY2(figures["slowestMs"].asInt() < 1000, probed.constData());
        for (const qint64 took : {startedOnFirst, startedOnThird, endedOnFirst}) {
            QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        }
        const QString log = server[0]->log();
        QCOMPARE(log.count("Warning: Failed to resolve the peer \"nosuchhost\""), 1);
        QVERIFY2(log.size() < 20000, qPrintable(log));
    }

    // A peer's answer is framed whatever its size: one with 500 sessions (far above the 64 KiB that
    // a request may have) is read and listed in full. The peer on host 1 is a scripted stand-in.
    void peerWithManySessionsIsListedInFull()
    {
        QString error;
        QVERIFY2(launch(0, error), qPrintable(error));
        QByteArray output;
        QVERIFY2(hosts->run(1, TestEnvironment::binary("discovery_call"),
                            {"peer", hosts->address(0), QString::number(broadcastPort), env[0]->user(),
                             shared.path() + "/server_cert", shared.path() + "/server_key", "500", "20"},
                            env[1]->processEnvironment(), output, error),
                 qPrintable(error + server[0]->log()));
        const Json::Value listed = call(0, "Live.ListSessions");
        QVERIFY2(listed["result"].isArray(), qPrintable(QString::fromStdString(listed.toStyledString()) + server[0]->log()));
        const QStringList ids = RpcClient::idsOf(listed["result"]);
        QCOMPARE(ids.size(), 500);
        QCOMPARE(ids.first(), QString("%1").arg(0, 32, 16, QLatin1Char('0')));
        QCOMPARE(ids.last(), QString("%1").arg(499, 32, 16, QLatin1Char('0')));
    }

    // A burst of announcements naming closed ports and ports that never answer TLS: the server
    // keeps answering its clients during and after it, and its log stays small.
    void floodOfAnnouncementsStallsNothing()
    {
        QString error;
        QVERIFY2(launch(0, error), qPrintable(error));
        const QString logPath = env[0]->userFile("server_log");
        const qint64 logBefore = QFileInfo(logPath).size();
        const qint64 cpuBefore = server[0]->cpuTimeMs();

        QProcess probe;
        hosts->start(0, probe, TestEnvironment::binary("discovery_call"),
                     {"probe", QString::number(server[0]->port()), shared.path() + "/server_cert",
                      shared.path() + "/server_key", "14"},
                     env[0]->processEnvironment());
        QVERIFY(probe.waitForStarted());
        QThread::msleep(1500); // the probe is connected and calling
        QByteArray flooded;
        QVERIFY2(hosts->run(1, TestEnvironment::binary("discovery_call"),
                            {"flood", hosts->address(0), QString::number(broadcastPort), env[0]->user(), "2000", "8",
                             "10"},
                            env[1]->processEnvironment(), flooded, error),
                 qPrintable(error));
        QVERIFY(probe.waitForFinished(30000));
        const QByteArray probed = probe.readAllStandardOutput().trimmed();
        const Json::Value figures = RpcClient::parse(probed);
        QVERIFY2(figures.isObject(), probe.readAllStandardError().constData());
        const qint64 logGrowth = QFileInfo(logPath).size() - logBefore;
        qInfo("probe %s; flood %s; log grew by %lld bytes; the server used %lld ms of CPU", probed.constData(),
              flooded.trimmed().constData(), static_cast<long long>(logGrowth),
              static_cast<long long>(server[0]->cpuTimeMs() - cpuBefore));
        QCOMPARE(figures["unanswered"].asInt(), 0);
        QVERIFY2(figures["slowestMs"].asInt() < 1000, qPrintable(QString::number(figures["slowestMs"].asInt())));
        QVERIFY(figures["calls"].asInt() >= 50);
        QVERIFY2(logGrowth < 1000000, qPrintable(QString::number(logGrowth)));
        QVERIFY(server[0]->isRunning());
    }
};

QTEST_GUILESS_MAIN(DiscoveryHostsTest)
#include "tst_discovery_hosts.moc"

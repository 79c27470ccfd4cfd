#pragma once

#include "tests/support/host_namespace.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A batch cluster for a test, from Debian's Slurm: a login host running munged and slurmctld, and
// one compute node running slurmd, each a HostNamespace with its own host name. The test process
// plays the laptop: it reaches the login host only; the node's address is unreachable from it
// (a route the cluster adds and removes), as on a cluster whose nodes sit on a private network.
// Both hosts see `home` in place of the account's home folder (a shared home, where ssh logins
// and jobs start) and a private /etc/hosts and /etc/slurm, so Slurm's commands work there without
// any setting and the machine's own files stay untouched. Names of the hosts: "login" and "node1".
//
// Every address, link name and file is unique to the run; stop() (and the destructor) ends every
// daemon in the order that lets each stop at once (slurmd, slurmctld, munged), then every other
// process on the hosts, and removes the namespaces, link, route and files.
class SlurmCluster
{
public:
    enum Host { Login, Node };

    explicit SlurmCluster(const QString &home);
    ~SlurmCluster();

    SlurmCluster(const SlurmCluster &) = delete;
    SlurmCluster &operator=(const SlurmCluster &) = delete;

    // Needs root; returns once the node is "idle".
    bool start(QString &error);
    void stop();

    const HostNamespace &host(Host which) const { return which == Login ? login : node; }
    static QString hostName(Host which);
    // The login host's address seen from the laptop; the node's on the cluster's network.
    QString address(Host which) const;

    // Runs a command (a Slurm command, say) on the login host.
    bool onLogin(const QStringList &command, QByteArray &output, QString &error, int timeoutMs = 15000) const;
    // The node's state as sinfo gives it ("idle", "allocated", "drained", ...), empty when unknown.
    QString nodeState() const;
    // The last lines of each daemon's log, for a failure report.
    QString logs() const;

    // The id of the Slurm job a process belongs to: it descends from the job's slurmstepd and its
    // environment carries the same SLURM_JOB_ID. Empty when it is no job's.
    static QString jobOfProcess(qint64 pid);
    // The job whose slurmstepd the process descends from, whatever its environment says.
    static QString jobTreeOf(qint64 pid);
    // The processes of a session: those that work in its folder (the launchers, the X server) and
    // those that carry its marker in their environment (the application and its children).
    static QList<qint64> sessionProcesses(const QString &folder);

private:
    bool startJanitor(QString &error);
    void stopJanitor();
    // Tells the janitor of something to remove should the test die.
    bool noteForJanitor(const QString &what, const QByteArray &value, QString &error);
    bool reserveAddresses(QString &error);
    bool createNetwork(QString &error);
    bool writeFiles(QString &error);
    bool startDaemon(QProcess &daemon, const HostNamespace &where, const QString &name, const QStringList &command,
                     QString &error);
    static void stopDaemon(QProcess &daemon);
    QString path(const QString &name) const;

    QTemporaryDir dir;
    qint64 janitor = 0;
    QString home;
    QString block;     // the /24 of the cluster's addresses, unreachable from the laptop
    QString routeHeld; // that route, while the cluster holds it
    QString uplink;    // the laptop's end of the link to the login host
    bool uplinkMade = false;
    HostNamespace login;
    HostNamespace node;
    QProcess munged;
    QProcess slurmctld;
    QProcess slurmd;
};

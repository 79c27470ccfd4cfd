#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// One host of a test cluster: a network, host-name (UTS) and mount namespace of its own, kept
// alive by a small holder process. Programs run "on the host" through nsenter, so daemons that
// need the machine's /sys and cgroup mounts (slurmd) still see them, and bind mounts made inside
// (a private /etc/hosts, a home folder) stay invisible to the machine. The destructor ends every
// process still inside and the holder, whatever happened.
class HostNamespace
{
public:
    HostNamespace() = default;
    ~HostNamespace();

    HostNamespace(const HostNamespace &) = delete;
    HostNamespace &operator=(const HostNamespace &) = delete;

    // Needs root; sets the host name and brings the loopback interface up.
    bool create(const QString &hostName, QString &error);

    QString hostName() const { return name; }
    qint64 holderPid() const;
    // The kernel's name of the host's network namespace ("net:[<inode>]"), as /proc shows it.
    QByteArray networkNamespaceName() const { return networkNamespace; }
    // The command prefix that runs a program on this host.
    QStringList launcher() const;

    // Runs the command on the host to its end; a non-zero status is a failure with its output.
    bool run(const QStringList &command, QByteArray &output, QString &error, int timeoutMs = 10000) const;
    bool run(const QStringList &command, QString &error, int timeoutMs = 10000) const;
    // Starts the command on the host without waiting for it.
    void start(QProcess &process, const QStringList &command) const;
    // Mounts `source` over `target`, seen only on this host.
    bool bind(const QString &source, const QString &target, QString &error) const;

    // Every process on the host but the holder (they share its network namespace).
    QList<qint64> processes() const;
    // SIGTERM to every process on the host, SIGKILL to what is left after `graceMs`.
    void endProcesses(int graceMs);
    // Ends the processes, then the holder: the namespaces go with the last of them.
    void destroy();

private:
    QString name;
    QProcess holder;
    QByteArray networkNamespace; // the holder's /proc/<pid>/ns/net link, which names the namespace
};

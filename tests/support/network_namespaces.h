#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

// Hosts for a test, each a network namespace: the first `sameSubnetHosts` on one subnet, joined by a
// bridge, the others on a second subnet behind a router (a namespace of its own that forwards
// between the two and lets no broadcast through). Every host reaches every other by address and by
// host name (`hostName`); other names go to a nameserver that never answers (an unused address of
// the host's subnet), so they fail after about a second without anything leaving the namespaces.
// Namespace names and subnets are unique per test run. The destructor ends every process still
// running inside and deletes the namespaces and their files, whatever happened.
class NetworkNamespaces
{
public:
    explicit NetworkNamespaces(int sameSubnetHosts = 2, int otherSubnetHosts = 0);
    ~NetworkNamespaces();

    NetworkNamespaces(const NetworkNamespaces &) = delete;
    NetworkNamespaces &operator=(const NetworkNamespaces &) = delete;

    // Needs root; the reason of a failure goes to `error`.
    bool create(QString &error);

    int hostCount() const;
    QString name(int host) const;
    QString address(int host) const;
    QString hostName(int host) const;
    // Of the host's subnet: its broadcast address, and an address where nothing answers.
    QString broadcastAddress(int host = 0) const;
    QString silentAddress(int host = 0) const;

    // Starts the program inside the host's namespace without waiting for it.
    void start(int host, QProcess &process, const QString &program, const QStringList &arguments,
               const QProcessEnvironment &environment) const;
    // Runs the program inside the host's namespace and waits for it to end.
    bool run(int host, const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
             QByteArray &output, QString &error, int timeoutMs = 60000) const;

private:
    int subnetOf(int host) const;
    QString subnetPrefix(int subnet) const;
    bool writeNameFiles(int host, QString &error) const;
    static bool ip(const QStringList &arguments, QString &error);
    static void endProcesses(const QString &name);

    int sameSubnetHosts;
    QStringList names; // the hosts', then the router's
    QString router;
    int subnetIndex;
    QStringList created;
};

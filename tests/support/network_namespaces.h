#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

// Two hosts for a test: two network namespaces joined by a veth pair, each end with one address of
// a private test subnet. Addresses, routes and broadcasts exist only inside the namespaces. The
// destructor ends every process still running inside them and deletes them, whatever happened.
class NetworkNamespaces
{
public:
    static constexpr int hostCount = 2;

    NetworkNamespaces();
    ~NetworkNamespaces();

    NetworkNamespaces(const NetworkNamespaces &) = delete;
    NetworkNamespaces &operator=(const NetworkNamespaces &) = delete;

    // Needs root; the reason of a failure goes to `error`.
    bool create(QString &error);

    QString name(int host) const;
    QString address(int host) const;
    static QString broadcastAddress();

    // Starts the program inside the host's namespace without waiting for it.
    void start(int host, QProcess &process, const QString &program, const QStringList &arguments,
               const QProcessEnvironment &environment) const;
    // Runs the program inside the host's namespace and waits for it to end.
    bool run(int host, const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
             QByteArray &output, QString &error, int timeoutMs = 60000) const;

private:
    static bool ip(const QStringList &arguments, QString &error);
    static void endProcesses(const QString &name);

    QStringList names;
    QStringList created;
};

#pragma once

#include <QByteArray>
#include <QString>

class RpcClient;
class TestEnvironment;

// What the launching process of a program left behind.
struct LaunchResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Starts the real lumen_server in a test environment, the way lumen_sci does, and tears it down
// again when the test is over.
class ServerRunner
{
public:
    explicit ServerRunner(const TestEnvironment &environment);
    ~ServerRunner();

    // Runs the launching process and waits until it returns.
    LaunchResult launch(int timeoutMs = 60000);
    // The soft limit of open files that the next launch starts with; 0 keeps the inherited one.
    void setOpenFileLimit(quint64 softLimit);
    // Runs the next launch in a user namespace of its own whose inotify watch limit is `watches`, so
    // that the server meets a limit that is really reached without touching the machine's. False when
    // the system offers no user namespaces; the launch then fails.
    void setInotifyWatchLimit(int watches);
    static bool canLimitInotifyWatches();

    qint64 pid() const;          // from the pid file, 0 when there is none
    quint16 port() const;        // from the port file, 0 when there is none
    bool isRunning() const;
    bool waitForFile(const QString &name, int timeoutMs = 10000) const;
    // Connects the client with the user's certificate, as the relay does; false when the connection
    // or the handshake failed.
    bool connectClient(RpcClient &client) const;

    // Sends the signal to the daemon and waits until its process is gone.
    bool stop(int signal, int timeoutMs = 20000);
    bool waitForExit(int timeoutMs) const;

    // The daemon's open descriptors (all of them, or its sockets only) and resident memory, -1 when
    // they cannot be read.
    int descriptorCount(bool socketsOnly = false) const;
    qint64 residentKiB() const;
    // The processor time the daemon has used so far (user and system), -1 when it cannot be read.
    qint64 cpuTimeMs() const;

    QString log() const;
    bool waitForLog(const QString &text, int timeoutMs = 10000) const;

    static bool isProcessAlive(qint64 pid);

private:
    const TestEnvironment &env;
    qint64 lastPid = 0;
    quint64 openFileLimit = 0;
    int inotifyWatchLimit = -1;
};

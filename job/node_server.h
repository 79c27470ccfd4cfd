#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

class QSocketNotifier;

// Sees to it that this node has the user's server while the job's session runs, so that the session
// stays listed: it starts one when none runs (the server admits one instance per user path), follows
// it through a pidfd and starts another when it ends, waiting longer after each quick failure. Jobs
// are independent: the server this job started ends with it, and the other jobs on the node start
// the next one.
class NodeServer : public QObject
{
    Q_OBJECT

public:
    NodeServer(const QString &program, const QProcessEnvironment &environment, const QString &pidPath,
               QObject *parent = nullptr);
    ~NodeServer() override;

    void ensure();
    // A server runs that this job started.
    bool isOwnRunning() const;
    // No new server from now on: the job is ending, and Slurm is ending the server it started.
    void hold();
    // Stops following; ends the server if this job started it (it is then a child of lumen-job).
    void stop(int timeoutMs);

    // The launching process while it runs (its own QProcess collects it), else 0.
    qint64 launcherPid() const { return launcher.processId(); }
    // The server program next to this one, else the one on the search path.
    static QString defaultProgram();

private slots:
    void Launcher_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void Server_ended();

private:
    bool follow();
    void unfollow();
    void retryLater(const QString &reason);

    const QString program;
    const QProcessEnvironment environment;
    const QString pidPath;
    QProcess launcher;
    QTimer retry;
    QElapsedTimer sinceLaunch;
    int quickFailures = 0;
    bool active = false;
    qint64 pid = 0;
    int pidfd = -1;
    QSocketNotifier *ended = nullptr;
};

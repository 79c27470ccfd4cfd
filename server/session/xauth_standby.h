#pragma once

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>

#include <memory>

// An "xauth" started ahead of the next session start and waiting for its commands, so that a start
// no longer waits for the program to be loaded (most of its run). It writes a file of its own in a
// folder beside the sessions ("xauth_standby", on the same file system), which is then renamed into
// the session directory: the file is the one "xauth" wrote, as if it had run there.
//
// A start takes the standby when there is one; the next is started a moment after the start is over
// (prepareSoon), so that its loading competes neither with the start nor with its answer.
// One that cannot be used (none ready yet, "xauth" on PATH is another program than the one started,
// or the run failed) leaves the work to the caller's own run, which also tells the reason of a failure.
class XauthStandby
{
public:
    static XauthStandby &global();

    XauthStandby();
    ~XauthStandby();
    XauthStandby(const XauthStandby &) = delete;
    XauthStandby &operator=(const XauthStandby &) = delete;

    // Off until the server turns it on: a program that starts one session has no next start to wait for.
    void setEnabled(bool on);
    // Feeds `commands` to the standby made for `folder` and moves the file it wrote to `target`.
    // False when there was no usable standby or any step failed; nothing is left at `target` then.
    bool run(const QString &folder, const QByteArray &commands, const QString &target);
    // Starts a standby for `folder` on a pool thread, unless one is there or on its way.
    void prepare(const QString &folder);
    // The same, 50 ms from now, timed by the application's event loop (at once without an application).
    void prepareSoon(const QString &folder);
    // Whether a standby for `folder` is waiting.
    bool isReady(const QString &folder);
    // How many runs were done by a standby.
    int standbyRuns();

private:
    struct Process;

    static std::unique_ptr<Process> start(const QString &folder, quint64 number);
    static bool finish(Process &process, const QByteArray &commands);
    static void letGo(std::unique_ptr<Process> process);

    QMutex lock;
    std::unique_ptr<Process> ready; // under the lock
    bool enabled = false;           // under the lock
    bool preparing = false;         // under the lock
    QSet<QString> cleanedFolders;   // under the lock: folders cleared of what earlier servers left
    quint64 started = 0;            // under the lock: names each standby's file
    int runs = 0;                   // under the lock
};

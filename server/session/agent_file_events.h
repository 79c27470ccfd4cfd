#pragma once

#include <QHash>
#include <QString>

#include <functional>

// One inotify instance that follows the agents' logs in any number of session directories. It tells
// which directories may hold a change worth a look: the agent's log was written, created or renamed
// into place, or the directory itself went away. The agent's other output in the directory (its exit
// status, the X server's log) and the application's log, which may be written without pause, wake
// nobody: each directory is watched only for entries that appear and for going away, and the log
// itself for being written. The end of the agent's launcher is the sign to look for the rest.
//
// A session directory takes two of the user's inotify watches. Used on one thread at a time. The
// instance is non-blocking and closed on exec.
class AgentFileEvents
{
public:
    enum class Take {
        Done, // every pending event was read
        More, // the bounded share was read: the rest waits for the next call
        Lost, // the kernel dropped events: any directory may have changed
        Broken, // the instance can no longer be read; it is closed
    };

    // Called for a directory that may hold a change. `watchEnded`: its watch is gone for good (the
    // directory went away, or its log could no longer be watched) and it must be looked at otherwise.
    using Changed = std::function<void(int watch, bool watchEnded)>;

    AgentFileEvents();
    ~AgentFileEvents();
    AgentFileEvents(const AgentFileEvents &) = delete;
    AgentFileEvents &operator=(const AgentFileEvents &) = delete;

    // False when no instance could be had; `openError` then says why.
    bool isOpen() const { return instance >= 0; }
    QString openError() const { return failure; }
    // Readable while events are pending; -1 when not open.
    int descriptor() const { return instance; }

    // Watches a session directory and its log. Returns the watch, or -1 with the reason in `error`
    // (the user's inotify watch limit, a directory that is gone).
    int watch(const QString &directory, QString &error);
    void unwatch(int watch);

    // Reads the pending events, in a bounded number of rounds, and calls `changed` for each event that
    // may concern an agent.
    Take take(const Changed &changed);

private:
    struct Directory
    {
        QString path;
        int log = -1; // the watch on its log, while there is one
    };

    // Watches the directory's log for being written; false with `error` only when the log is there
    // and cannot be watched.
    bool watchLog(int watch, Directory &directory, QString &error);
    void forgetLog(Directory &directory);
    void close();

    int instance = -1;
    QString failure;
    QHash<int, Directory> directories; // by the directory's watch
    QHash<int, int> logs;              // the log's watch to its directory's
};

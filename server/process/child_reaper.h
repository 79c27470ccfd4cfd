#pragma once

#include <QMutex>
#include <QtGlobal>

#include <thread>
#include <vector>

// Waits for the children that the server starts and never waits for itself (the session launchers),
// so that none of them stays behind as a zombie once it ends. One thread, asleep until a child ends:
// each child is followed through its pidfd; a child handed over without one (no descriptor was left)
// is looked for once a second instead.
//
// Waits for the given process ids only, never for any child: the program runner's own children
// stay its business.
class ChildReaper
{
public:
    // The process-wide reaper; its thread starts with the first child handed over.
    static ChildReaper &global();

    ChildReaper();
    // Stops the thread. Children still running are left to whoever inherits them.
    ~ChildReaper();
    ChildReaper(const ChildReaper &) = delete;
    ChildReaper &operator=(const ChildReaper &) = delete;

    // Takes over a child of this process, with its pidfd (which it closes once the child is waited
    // for) or -1.
    void adopt(qint64 pid, int pidfd);
    // Children handed over and not yet waited for.
    int pendingCount();

private:
    struct Child
    {
        qint64 pid;
        int pidfd;
    };

    void run();
    void takeHandedOver();
    bool reap(const Child &child);

    QMutex lock;
    std::vector<Child> handedOver; // under the lock, until the thread takes them
    int pending = 0;               // under the lock
    bool stopping = false;         // under the lock
    int readiness = -1;            // epoll: the wake-up event and the children's pidfds
    int wakeUp = -1;               // eventfd
    std::vector<Child> followed;   // the thread's own
    std::thread thread;
};

#include "server/process/child_reaper.h"

#include <algorithm>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// A child without a pidfd is looked for this often.
constexpr int unfollowedLookMs = 1000;
constexpr int readyBatch = 16;
}

ChildReaper &ChildReaper::global()
{
    static ChildReaper reaper;
    return reaper;
}

ChildReaper::ChildReaper()
{
    readiness = ::epoll_create1(EPOLL_CLOEXEC);
    wakeUp = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (readiness >= 0 && wakeUp >= 0) {
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = -1; // the wake-up; children carry their pidfd
        ::epoll_ctl(readiness, EPOLL_CTL_ADD, wakeUp, &event);
    }
}

ChildReaper::~ChildReaper()
{
    {
        QMutexLocker locker(&lock);
        stopping = true;
    }
    if (thread.joinable()) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeUp, &one, sizeof one);
        thread.join();
    }
    for (const Child &child : followed) {
        if (child.pidfd >= 0) {
            ::close(child.pidfd);
        }
    }
    for (const Child &child : handedOver) {
        if (child.pidfd >= 0) {
            ::close(child.pidfd);
        }
    }
    for (int descriptor : {readiness, wakeUp}) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
}

void ChildReaper::adopt(qint64 pid, int pidfd)
{
    QMutexLocker locker(&lock);
    handedOver.push_back({pid, pidfd});
    ++pending;
    if (!thread.joinable()) {
        thread = std::thread([this] { run(); });
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp, &one, sizeof one);
}

int ChildReaper::pendingCount()
{
    QMutexLocker locker(&lock);
    return pending;
}

void ChildReaper::run()
{
    for (;;) {
        {
            QMutexLocker locker(&lock);
            if (stopping) {
                return;
            }
        }
        takeHandedOver();
        const bool anyUnfollowed =
            std::any_of(followed.cbegin(), followed.cend(), [](const Child &child) { return child.pidfd < 0; });
        epoll_event ready[readyBatch];
        int count = 0;
        if (readiness >= 0) {
            count = ::epoll_wait(readiness, ready, readyBatch, anyUnfollowed ? unfollowedLookMs : -1);
        } else {
            // Without an epoll instance every child is looked for at the slow pace.
            ::usleep(unfollowedLookMs * 1000);
        }
        if (count < 0 && errno != EINTR) {
            return;
        }
        std::vector<int> ended;
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd < 0) {
                quint64 ignored;
                [[maybe_unused]] const ssize_t read = ::read(wakeUp, &ignored, sizeof ignored);
            } else {
                ended.push_back(ready[i].data.fd);
            }
        }
        // The children whose pidfd fired, and at the slow pace those without one.
        const auto isDue = [&ended, count](const Child &child) {
            return child.pidfd < 0 ? count == 0 : std::find(ended.cbegin(), ended.cend(), child.pidfd) != ended.cend();
        };
        int reaped = 0;
        for (auto child = followed.begin(); child != followed.end();) {
            if (isDue(*child) && reap(*child)) {
                child = followed.erase(child);
                ++reaped;
            } else {
                ++child;
            }
        }
        if (reaped > 0) {
            QMutexLocker locker(&lock);
            pending -= reaped;
        }
    }
}

void ChildReaper::takeHandedOver()
{
    std::vector<Child> taken;
    {
        QMutexLocker locker(&lock);
        taken.swap(handedOver);
    }
    for (Child &child : taken) {
        if (child.pidfd >= 0 && readiness >= 0) {
            epoll_event event = {};
            event.events = EPOLLIN;
            event.data.fd = child.pidfd;
            if (::epoll_ctl(readiness, EPOLL_CTL_ADD, child.pidfd, &event) != 0) {
                ::close(child.pidfd);
                child.pidfd = -1;
            }
        }
        followed.push_back(child);
    }
}

bool ChildReaper::reap(const Child &child)
{
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_t(child.pid), &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    // Still running; or, with an error, not ours to wait for (any more).
    if (result == 0) {
        return false;
    }
    if (child.pidfd >= 0) {
        ::epoll_ctl(readiness, EPOLL_CTL_DEL, child.pidfd, nullptr);
        ::close(child.pidfd);
    }
    return true;
}

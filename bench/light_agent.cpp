// A light stand-in for the launchers, for benchmarks that hold many sessions: built once as
// "start-agent" and once as "start-app" (LIGHT_APP), a few hundred kilobytes each, asleep unless
// signalled. Like the tests' stand-in, it keeps the launcher's contract without an X server:
//
//   start-agent <geometry> <port>      working directory: the session directory
//
// writes its process id to "server_pid", logs "RDP initialized at '<now>'" to "server_log" at once,
// adds a password on SIGUSR1 ("Added new password <hex>"), and on SIGTERM leaves "server_exit" (0)
// and ends. It has no viewers, so SIGUSR2 changes nothing. It ends by itself after LIGHT_AGENT_LIFE
// seconds (default 3600), or soon after its session directory is removed, so that no benchmark leaves
// one behind. "start-app" ends at once. With LIGHT_AGENT_PROBE set, "start-agent" only prints the
// monotonic clock in seconds and ends: a benchmark learns how long the program takes to get going.

#ifdef LIGHT_APP

int main()
{
    return 0;
}

#else

#include <cerrno>
#include <initializer_list>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The contract with lumen_server (server/session/agent_contract.h).
const char *const pidFile = "server_pid";
const char *const logFile = "server_log";
const char *const exitFile = "server_exit";

// How often it wakes to see whether its session directory is still there.
constexpr int lookSeconds = 5;

bool writeFile(const char *name, const char *text)
{
    char temporary[64];
    std::snprintf(temporary, sizeof temporary, "%s.tmp", name);
    const int descriptor = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return false;
    }
    const size_t length = std::strlen(text);
    const bool written = ::write(descriptor, text, length) == ssize_t(length);
    ::close(descriptor);
    return written && ::rename(temporary, name) == 0;
}

void logLine(int log, const char *line)
{
    char text[256];
    const int length = std::snprintf(text, sizeof text, "%s\n", line);
    [[maybe_unused]] const ssize_t written = ::write(log, text, size_t(length));
}

bool directoryRemoved()
{
    struct stat status;
    return ::stat(".", &status) != 0 || status.st_nlink == 0;
}

} // namespace

int main()
{
    if (std::getenv("LIGHT_AGENT_PROBE")) {
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("%.6f\n", double(now.tv_sec) + double(now.tv_nsec) / 1e9);
        return 0;
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
    }
    sigset_t handled;
    sigemptyset(&handled);
    for (int number : {SIGUSR1, SIGUSR2, SIGTERM}) {
        sigaddset(&handled, number);
    }
    // Blocked before "server_pid" exists: until then nobody knows whom to signal.
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    char text[64];
    std::snprintf(text, sizeof text, "%ld", long(::getpid()));
    if (!writeFile(pidFile, text)) {
        return 1;
    }
    const int log = ::open(logFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) {
        return 1;
    }
    char now[32];
    const time_t started = std::time(nullptr);
    std::strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%S", std::localtime(&started));
    char line[128];
    std::snprintf(line, sizeof line, "RDP initialized at '%s'", now);
    logLine(log, line);

    const char *life = std::getenv("LIGHT_AGENT_LIFE");
    const long lifeSeconds = life ? std::atol(life) : 3600;
    unsigned passwords = 0;
    for (;;) {
        const timespec pause = {lookSeconds, 0};
        const int number = sigtimedwait(&handled, nullptr, &pause);
        if (number == SIGUSR1) {
            std::snprintf(line, sizeof line, "Added new password %08x%08x", unsigned(::getpid()), ++passwords);
            logLine(log, line);
        } else if (number == SIGTERM) {
            writeFile(exitFile, "0");
            return 0;
        } else if (number < 0 && errno == EAGAIN
                   && (directoryRemoved() || std::time(nullptr) - started > lifeSeconds)) {
            return 0;
        }
    }
}

#endif

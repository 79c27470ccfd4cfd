#include "server/process/daemon_launch.h"

#include "common/logging.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Writes a whole buffer, resuming after interruptions.
void writeAll(int descriptor, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        size -= size_t(written);
    }
}

// The write end of the ready pipe: the daemon writes one byte to it once start-up has finished. A
// daemon that ends during start-up closes it without that byte, and the launching process then
// returns the daemon's own exit status instead of reporting success.
int readyWriteFd = -1;

// The launching process copies what the daemon writes to the pipe onto its own standard error until
// the daemon closes its end.
[[noreturn]] void relayUntilDaemonReady(int readEnd, int readyReadEnd, pid_t daemon)
{
    ::dup2(readEnd, STDIN_FILENO);
    ::close(readEnd);
    char buffer[256];
    for (;;) {
        const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        writeAll(STDERR_FILENO, buffer, size_t(received));
    }

    char ready = 0;
    ssize_t got;
    do {
        got = ::read(readyReadEnd, &ready, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) {
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

} // namespace

bool becomeDaemon(QString &error)
{
    int pipeEnds[2];
    int readyEnds[2];
    if (::pipe(pipeEnds) != 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        return false;
    }
    if (::pipe2(readyEnds, O_CLOEXEC) != 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        for (int end : {pipeEnds[0], pipeEnds[1], readyEnds[0], readyEnds[1]}) {
            ::close(end);
        }
        return false;
    }
    if (child > 0) {
        ::close(pipeEnds[1]);
        ::close(readyEnds[1]);
        relayUntilDaemonReady(pipeEnds[0], readyEnds[0], child);
    }

    ::close(pipeEnds[0]);
    ::close(readyEnds[0]);
    readyWriteFd = readyEnds[1];
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);
    if (::setsid() < 0 || ::chdir("/") != 0 || !std::freopen("/dev/null", "r", stdin)
        || !std::freopen("/dev/null", "w", stdout)) {
        error = QStringLiteral("Failed to become a daemon: %1").arg(systemError());
        return false;
    }
    return true;
}

void releaseLauncher()
{
    const char ready = '0';
    writeAll(readyWriteFd, &ready, 1);
    ::close(readyWriteFd);
    readyWriteFd = -1;
}

int failStartup(const QString &message)
{
    const QByteArray line = (Logging::formatLine(Logging::Critical, message) + QLatin1Char('\n')).toLocal8Bit();
    writeAll(STDERR_FILENO, line.constData(), size_t(line.size()));
    logMessage(Logging::Critical, message);
    return 1;
}

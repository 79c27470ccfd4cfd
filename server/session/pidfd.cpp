#include "server/session/pidfd.h"

#include <sys/syscall.h>
#include <unistd.h>

int pidfdOpen(qint32 pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int pidfd, int signal)
{
    return int(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

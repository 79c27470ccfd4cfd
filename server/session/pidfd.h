#pragma once

#include <QtGlobal>

// Process descriptors (pidfds): each names one process for as long as it is open, so a process id
// that is reused meanwhile is never mistaken for it, and it becomes readable once that process has
// ended. The C library of Debian 12 declares no wrappers for them with C linkage, so the system calls
// are made directly. Both return -1 with errno set on failure (ENOSYS on kernels without pidfds).
int pidfdOpen(qint32 pid);
int pidfdSendSignal(int pidfd, int signal);

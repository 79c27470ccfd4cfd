#pragma once

#include <QList>
#include <QString>

// The processes that work in a directory (it is their current directory): for a session directory,
// its agent's launcher and whatever the launchers run there. Only the user's own processes can be
// seen. Free of state; safe on any thread.
class DirectoryProcesses
{
public:
    enum SignalResult { Sent, NotThere, Failed };

    static QList<qint32> find(const QString &directory);

    // Sends the signal only while the process works in the directory: a process descriptor holds on
    // to it from the check to the signal, so a process id that is reused in between is never hit
    // (plain kill() only where the kernel has no process descriptors). On Failed, `failure` holds
    // the errno.
    static SignalResult signal(qint32 pid, const QString &directory, int signal, int &failure);
};

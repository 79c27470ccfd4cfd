#include "client/host/child_signals.h"

#include <QProcess>

#include <csignal>

void ignoreInterruptsInChild(QProcess &process)
{
    // Runs in the child between fork and exec; an ignored signal stays ignored across exec, and ssh
    // leaves SIGINT alone when it finds it ignored.
    process.setChildProcessModifier([] { ::signal(SIGINT, SIG_IGN); });
}

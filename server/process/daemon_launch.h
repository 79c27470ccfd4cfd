#pragma once

#include <QString>

// The launching side of the daemon. The program forks at once: the launching process stays until
// the daemon has finished starting, copies what the daemon writes to its standard error (the
// communication pipe) onto its own, and returns 0 once the daemon is ready, or the daemon's own
// exit status when it ended during start-up.

// Forks; returns in the daemon only. A failure is reported as a text with errno's reason.
bool becomeDaemon(QString &error);
// Tells the launching process that start-up has finished.
void releaseLauncher();
// Reports a fatal start-up error on standard error (still the communication pipe) and, once a
// logger is installed, in the log; returns the exit status 1.
int failStartup(const QString &message);

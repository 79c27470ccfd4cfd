#pragma once

#include <QString>

enum class LauncherState { Alive, Gone, Unknown };

// Whether the agent launcher with this process id still runs the session: its process exists and
// works in the session directory. A process id that was reused by a process working elsewhere, or
// whose working directory cannot be read, counts as gone.
LauncherState launcherState(qint32 pid, const QString &sessionPath);

#pragma once

#include <QString>
#include <QStringList>

// Starts a program that outlives the call, the way the server starts a session's launchers: found
// through PATH, in a session of its own (setsid), in the given working directory, with standard
// input from /dev/null, standard output and error shared with the server, no other descriptor, every
// signal at its default action and none blocked, and the server's environment.
//
// One posix_spawn (a vfork and exec), where a detached QProcess forks twice and copies the page
// tables of the whole server each time. The child is waited for by the ChildReaper once it ends.
// Where the kernel has no pidfds, QProcess::startDetached does it as before.
//
// Returns the child's process id, or false with the system's reason in `error`.
bool spawnDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory,
                   qint64 &pid, QString &error);

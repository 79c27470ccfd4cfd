#pragma once

#include <QString>

class SessionRuntime;

// The viewer ports (41000 + d) lie within the range from which the system hands out the local ports
// of outgoing connections, so another socket can take one between the display search and the
// agent's bind. The agent then ends before its display comes up, and the start moves on to another
// display (SessionManager::start).
class ViewerPortClash
{
public:
    // How often a start launches an agent at most.
    static constexpr int attempts = 3;

    // Whether the runtime's agent ended without coming up while another socket holds its viewer port.
    static bool endedTheAgent(const SessionRuntime &runtime);
    // Removes the files the ended agent wrote (its log, process id and exit status), so that those in
    // the directory are the next agent's own.
    static void clearAgentFiles(const QString &directory);
};

#pragma once

#include <QString>

struct AgentInfo;

// Applies one line of the agent's log to the information. Lines that the server does not know, and
// known lines that do not have their exact form, change nothing.
void applyAgentLogLine(const QString &line, AgentInfo &info);

#pragma once

#include <QByteArray>
#include <QString>

struct AgentInfo;

// Applies the information object that the agent's socket delivers. Only a JSON object (or null, an
// object without members) is taken; anything else fails and changes nothing. Members that are
// absent, or of the wrong type, leave their field as it was.
bool applyAgentInfoObject(const QByteArray &text, AgentInfo &info, QString &error);

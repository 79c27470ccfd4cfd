#pragma once

#include <QByteArray>
#include <QString>

// Receives what the agent's information socket sends: connects, sends nothing and takes everything
// until the agent closes the connection. False when the connection fails, when the agent keeps it
// open for more than 1000 ms, or when it sends more than any information object could hold.
bool receiveAgentInfo(const QString &socketPath, QByteArray &data);

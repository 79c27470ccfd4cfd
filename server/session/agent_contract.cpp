#include "server/session/agent_contract.h"

quint16 AgentContract::viewerPort(quint16 display)
{
    return quint16(viewerPortBase + display);
}

QString AgentContract::infoSocketPath(quint16 display)
{
    return QStringLiteral("/tmp/Xrdp_%1.sock").arg(display);
}

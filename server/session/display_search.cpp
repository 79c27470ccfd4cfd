#include "server/session/display_search.h"

#include "server/session/agent_contract.h"
#include "server/session/port_probe.h"

#include <QDir>
#include <QFileInfo>

namespace {
constexpr int x11PortBase = 6000;

bool exists(const QString &path)
{
    // Also true for a dangling symbolic link: the name is taken either way.
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

// The checks in the order that drops a used display soonest; the cheap file checks sit between the
// port probes, which may take up to a second each.
bool isDisplayFree(int display)
{
    const QString number = QString::number(display);
    return isPortFree(quint16(x11PortBase + display))
        && !exists(QDir(QDir::tempPath()).filePath(QStringLiteral(".X11-unix/X%1").arg(number)))
        && isPortFree(AgentContract::viewerPort(quint16(display)))
        && isPortBindable(AgentContract::viewerPort(quint16(display)))
        && !exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
        && !exists(AgentContract::infoSocketPath(quint16(display)));
}
}

bool findFreeDisplay(quint16 first, quint16 end, quint16 &display, const DisplayClaim &claim)
{
    const int last = qMin(int(end) - 1, AgentContract::highestDisplay);
    for (int candidate = first; candidate <= last; ++candidate) {
        if (isDisplayFree(candidate) && (!claim || claim(quint16(candidate)))) {
            display = quint16(candidate);
            return true;
        }
    }
    return false;
}

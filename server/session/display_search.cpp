#include "server/session/display_search.h"

#include "server/session/port_probe.h"

#include <QDir>
#include <QFileInfo>

namespace {
constexpr int x11PortBase = 6000;
constexpr int agentPortBase = 41000;
// Beyond this the agent's port 41000 + d would not be a TCP port at all.
constexpr int highestDisplay = 65535 - agentPortBase;

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
        && isPortFree(quint16(agentPortBase + display)) && isPortBindable(quint16(agentPortBase + display))
        && !exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
        && !exists(QStringLiteral("/tmp/Xrdp_%1.sock").arg(number));
}
}

bool findFreeDisplay(quint16 first, quint16 end, quint16 &display, const DisplayClaim &claim)
{
    const int last = qMin(int(end) - 1, highestDisplay);
    for (int candidate = first; candidate <= last; ++candidate) {
        if (isDisplayFree(candidate) && (!claim || claim(quint16(candidate)))) {
            display = quint16(candidate);
            return true;
        }
    }
    return false;
}

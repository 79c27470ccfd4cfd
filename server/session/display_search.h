#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// Lets the caller reserve a display that the machine shows as free, so that searches running at the
// same time never settle on the same one before its agent is up. Returns false when it is taken.
using DisplayClaim = std::function<bool(quint16 display)>;

// Finds the first display d in [first, end) whose agent could start: its viewer port can be bound,
// no running X server holds its lock file, nothing answers on its X11 socket (the file, in /tmp and
// in TMPDIR, or the abstract one), nor on the agent's
// information socket (a file left behind by one that ended is no obstacle: the X server and the agent
// replace it), and nothing listens on its X11 port 6000 + d.
// A candidate that passes those checks is offered to `claim`, when given, and skipped if refused.
// Each display passed over is logged at Debug2 with the reason. An information socket left over on
// the display found is removed, so that the server never takes it for the new agent's.
bool findFreeDisplay(quint16 first, quint16 end, quint16 &display, const DisplayClaim &claim = {});

// Why the agent of the display could not start now, or an empty text when it could.
QString displayObstacle(quint16 display);

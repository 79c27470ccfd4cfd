#pragma once

#include <QtGlobal>

#include <functional>

// Lets the caller reserve a display that the machine shows as free, so that searches running at the
// same time never settle on the same one before its agent is up. Returns false when it is taken.
using DisplayClaim = std::function<bool(quint16 display)>;

// Finds the first display d in [first, end) that nothing on this host uses: no X server on its TCP
// port 6000 + d, socket file or lock file, and no agent on its viewer port (nor that port held by
// any other socket) or its information socket.
// A candidate that passes those checks is offered to `claim`, when given, and skipped if refused.
bool findFreeDisplay(quint16 first, quint16 end, quint16 &display, const DisplayClaim &claim = {});

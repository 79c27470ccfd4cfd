#pragma once

#include <QtGlobal>

// Finds the first display d in [first, end) that nothing on this host uses: no X server on its TCP
// port 6000 + d, socket file or lock file, and no agent on port 41000 + d or its socket file.
bool findFreeDisplay(quint16 first, quint16 end, quint16 &display);

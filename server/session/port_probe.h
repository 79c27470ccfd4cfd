#pragma once

#include <QtGlobal>

// True when a connection to 127.0.0.1 on the port is refused. Anything else (a listener, no answer
// within 1000 ms, another error) counts as a port in use.
bool isPortFree(quint16 port);

#pragma once

#include <QString>
#include <QtGlobal>

// True when a connection to 127.0.0.1 on the port is refused. Anything else (a listener, no answer
// within 1000 ms, another error) counts as a port in use. The probe ends with a reset, so it leaves
// no socket in TIME_WAIT behind: one would hold its own local port (a port the system picked, which
// may well be a viewer port) for a minute.
bool isPortFree(quint16 port);

// True when a listener could bind the port on every interface, as the agent binds its viewer port
// (with address reuse). A port that serves as the local end of an outgoing connection accepts no
// connection, yet cannot be bound: the agent ports lie within the range the system hands out to
// outgoing connections. On false, `reason` (when given) receives the system's error text.
bool isPortBindable(quint16 port, QString *reason = nullptr);

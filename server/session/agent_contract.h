#pragma once

#include <QLatin1String>
#include <QString>
#include <QtGlobal>

// What the server and the agent launcher "start-agent" (with "start-app") agree on: the port and
// socket by which the agent of display d is reached, and the files of a session directory. The
// launchers, and the tests' stand-in agent, name the same values once at their top; a value changed
// here must be changed there too.
namespace AgentContract {

// The launchers, found through the search path and run in the session directory.
constexpr QLatin1String agentLauncher("start-agent"); // arguments: the geometry and the viewer port
constexpr QLatin1String appLauncher("start-app");     // argument: the application command

// The agent of display d takes viewers on this base + d, and that port is what clients are told.
constexpr int viewerPortBase = 41000;
// Beyond this display the viewer port would not be a TCP port at all.
constexpr int highestDisplay = 65535 - viewerPortBase;

quint16 viewerPort(quint16 display);
// The agent's information socket: one per display, in /tmp (outside the session directory, whose
// path may be longer than a socket address can hold).
QString infoSocketPath(quint16 display);

// Set by the server at start-up for every launcher it runs, from its "ViewersFromNetwork" setting:
// "1" lets the agent take viewers on every address of the host, "0" (the default) on the loopback
// addresses alone (127.0.0.1 and ::1), which viewers reach through an ssh tunnel.
constexpr char viewersFromNetworkVariable[] = "LUMEN_AGENT_VIEWERS_FROM_NETWORK";

// Files the server writes into the session directory, so that a later start of the server can take
// the session over; the launchers read "display" and "authority".
constexpr QLatin1String displayFile("display");
constexpr QLatin1String windowModeFile("window_mode");
constexpr QLatin1String nameFile("name");
constexpr QLatin1String infoFile("info");
constexpr QLatin1String authorityFile("authority"); // X authority, filled by "xauth"
constexpr QLatin1String monitorPidFile("monitor_pid");
constexpr QLatin1String appLogFile("app_log");
// How far the making or the removal of the session has got, while either is under way (the
// launchers ignore it; see SessionStage).
constexpr QLatin1String stageFile("stage");
// Who is making the session while "stage" is there: the server or lumen-job (see SessionStarter).
constexpr QLatin1String starterFile("starter");
// The batch job the session lives in, written by lumen-job before the start is complete.
constexpr QLatin1String jobFile("job");

// Files the agent writes into the session directory and the server follows.
constexpr QLatin1String logFile("server_log");   // its events, one a line
constexpr QLatin1String pidFile("server_pid");   // the process that takes the control signals
constexpr QLatin1String exitFile("server_exit"); // its exit status, left before the launcher ends

} // namespace AgentContract

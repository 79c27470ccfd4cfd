#pragma once

class SessionRuntime;

// Ends the agent launcher of a started session and waits until it is gone, whether or not the agent
// got as far as writing "server_pid" or handling signals (SIGKILL after five seconds).
void stopAgent(SessionRuntime &runtime);

#pragma once

class QProcess;

// Ctrl+C reaches every process of the terminal's foreground group, lumen's helpers too. The ones
// that carry lumen's connections (ssh, or the relay for local) ignore it, so that lumen can still
// end what it started, such as a session whose start was interrupted, and then close them itself.
void ignoreInterruptsInChild(QProcess &process);

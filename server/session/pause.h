#pragma once

#include <QString>

// Sleeps for the given milliseconds, resuming after signals for the time left. Returns false with the
// system's error text only when sleeping itself fails.
bool pauseFor(int milliseconds, QString &error);

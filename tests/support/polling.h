#pragma once

#include <functional>

// Waiting for a condition that is slow to look at (a screenshot, a call through another process or
// host): it is asked again every interval, without running the caller's event loop.
class Polling
{
public:
    static bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs = 200);
};

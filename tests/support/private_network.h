#pragma once

// Moves the calling process into a network namespace of its own with only the loopback interface,
// so that no other program's sockets (those of tests running at the same time above all) can take
// its ports: a port that another program's connection holds, even in TIME_WAIT, cannot be bound.
// Must be called before any thread starts; needs root. False, with the process left where it was,
// when that is not possible.
class PrivateNetwork
{
public:
    static bool enter();
};

#pragma once

#include <QList>
#include <QtGlobal>

// lumen-job is the child subreaper of its session: whatever the launchers or the server leave
// behind when their parent ends is reparented to it, stays in the job, and must be collected when
// it ends. Only ended children (zombies) are collected, one by one, never with waitpid(-1): a child
// that a QProcess is about to collect itself is left alone.
class OrphanReaper
{
public:
    // Makes this process the subreaper of its descendants.
    static bool becomeSubreaper();
    // Collects every ended child except those listed; returns how many.
    static int reap(const QList<qint64> &leave = {});
};

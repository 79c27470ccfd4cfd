#pragma once

#include <QString>

#include <atomic>

// What a server does with a session directory that the previous server left while it was making or
// removing the session (see SessionStage): a start whose agent is recorded but whose application was
// never started is completed; every other half-made session is ended and its directory removed. So
// no directory stays without a live session, and no desktop is served without its application.
class SessionRecovery
{
public:
    enum Plan {
        Load,     // a complete session, or one made before stages were recorded: loaded as it is
        Complete, // the agent is recorded and the application was never started: start it once
        End,      // processes of a session that was never completed, or is being removed, still run
        Remove,   // nothing of the session runs: the directory goes at once
        Leave,    // another process that still runs is making it (lumen-job): not this server's to touch
    };

    // Decides from the directory's stage, its starter and the processes that work in it. A session
    // that lumen-job began is never completed by the server, which would start its application
    // outside the batch job: it is ended once lumen-job is gone.
    static Plan plan(const QString &directory);

    // Ends every process that works in the directory (SIGTERM; SIGKILL for those still there after
    // `waitMs`), then removes the directory. Gives up when `stopping` is set meanwhile, leaving the
    // rest to the next server. On failure `message` says what is left.
    static bool endAndRemove(const QString &directory, int waitMs, const std::atomic_bool &stopping,
                             QString &message);

    // The application command as the client gave it: all of "name", not only its first word.
    static bool readCommand(const QString &directory, QString &command, QString &error);
};

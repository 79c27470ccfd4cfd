#pragma once

#include <QString>

class SessionManager;
class SessionRuntime;

// One thread's hold on a session of the SessionManager: while it lives, no other thread works on
// that session. When it goes out of scope it gives the session back; a session whose state became
// unknown on the way (its runtime failed) leaves the store instead. Move-only.
//
// A hold may also be empty: it then says why nothing is held.
class SessionHold
{
public:
    // Nothing held, for the reason `status` (an error code).
    static SessionHold refused(int status);
    // Nothing held: another thread holds the session, or waits for it.
    static SessionHold heldElsewhere();

    // Holds `id`, stored or only reserved for a start (no runtime yet).
    SessionHold(SessionManager *manager, const QString &id, SessionRuntime *runtime);
    SessionHold(SessionHold &&other) noexcept;
    SessionHold &operator=(SessionHold &&other) noexcept;
    ~SessionHold();

    SessionHold(const SessionHold &) = delete;
    SessionHold &operator=(const SessionHold &) = delete;

    bool isHeld() const { return manager != nullptr; }
    bool isHeldElsewhere() const { return busyElsewhere; }
    // 0 while something is held.
    int status() const { return refusal; }
    SessionRuntime *runtime() const { return held; }

    // Stores a new session under the reserved id; the store owns the runtime from now on.
    void store(SessionRuntime *runtime);
    // Takes the stored session out again and deletes its runtime; the id stays reserved.
    void withdraw();
    // Ends the hold by removing the session, and its directory when the agent ended cleanly.
    void discardEnded();
    // Ends the hold by removing the session, keeping its directory for the next start to look at.
    void forget();

private:
    SessionHold() = default;
    void giveBack();

    SessionManager *manager = nullptr;
    QString id;
    SessionRuntime *held = nullptr;
    int refusal = 0;
    bool busyElsewhere = false;
};

#include "server/manager/session_hold.h"

#include "server/manager/session_manager.h"
#include "server/session/session_runtime.h"

#include <utility>

SessionHold SessionHold::refused(int status)
{
    SessionHold hold;
    hold.refusal = status;
    return hold;
}

SessionHold SessionHold::heldElsewhere()
{
    SessionHold hold;
    hold.busyElsewhere = true;
    return hold;
}

SessionHold::SessionHold(SessionManager *manager, const QString &id, SessionRuntime *runtime)
    : manager(manager)
    , id(id)
    , held(runtime)
{
}

SessionHold::SessionHold(SessionHold &&other) noexcept
    : manager(std::exchange(other.manager, nullptr))
    , id(std::move(other.id))
    , held(std::exchange(other.held, nullptr))
    , refusal(other.refusal)
    , busyElsewhere(other.busyElsewhere)
{
}

SessionHold &SessionHold::operator=(SessionHold &&other) noexcept
{
    if (this != &other) {
        giveBack();
        manager = std::exchange(other.manager, nullptr);
        id = std::move(other.id);
        held = std::exchange(other.held, nullptr);
        refusal = other.refusal;
        busyElsewhere = other.busyElsewhere;
    }
    return *this;
}

SessionHold::~SessionHold()
{
    giveBack();
}

void SessionHold::store(SessionRuntime *runtime)
{
    held = runtime;
    manager->add(id, runtime);
}

void SessionHold::withdraw()
{
    manager->withdraw(id);
    delete held;
    held = nullptr;
}

void SessionHold::discardEnded()
{
    manager->discardEnded(id, held);
    manager = nullptr;
    held = nullptr;
}

void SessionHold::forget()
{
    manager->remove(id);
    delete held;
    manager = nullptr;
    held = nullptr;
}

void SessionHold::giveBack()
{
    if (!manager) {
        return;
    }
    // Only a failed look at the agent leaves a session's state unknown; any other failure keeps it.
    if (held && held->failed()) {
        forget();
        return;
    }
    manager->release(id);
    manager = nullptr;
    held = nullptr;
}

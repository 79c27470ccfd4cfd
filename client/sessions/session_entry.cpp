#include "client/sessions/session_entry.h"

bool SessionEntry::fromJson(const Json::Value &value, SessionEntry &entry)
{
    SessionEntry read;
    if (!SessionRecord::fromJson(value, read.sessionRecord) || read.sessionRecord.id().isEmpty()) {
        return false;
    }
    entry = read;
    return true;
}

// The action a session offers first tells its state: a viewer may connect ("connect"), a password
// waits for its viewer ("retry"), or a viewer is connected ("disconnect").
SessionEntry::State SessionEntry::state() const
{
    const QStringList actions = sessionRecord.permissions();
    if (actions.contains(QLatin1String("disconnect"))) {
        return Connected;
    }
    if (actions.contains(QLatin1String("retry"))) {
        return Offered;
    }
    if (actions.contains(QLatin1String("connect"))) {
        return Waiting;
    }
    return Unknown;
}

QString SessionEntry::stateText() const
{
    switch (state()) {
    case Waiting: return QStringLiteral("waiting");
    case Offered: return QStringLiteral("password offered");
    case Connected: return QStringLiteral("connected");
    case Unknown: break;
    }
    return QStringLiteral("unknown");
}

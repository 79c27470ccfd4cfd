#pragma once

#include "common/session_record.h"

#include <json/value.h>

// One session of a host's list, with what the client derives from it: the state that its actions
// tell, and whether the host itself runs it or one of its peers does.
class SessionEntry
{
public:
    enum State { Waiting, Offered, Connected, Unknown };

    static bool fromJson(const Json::Value &value, SessionEntry &entry);

    const SessionRecord &record() const { return sessionRecord; }
    QString id() const { return sessionRecord.id(); }
    State state() const;
    // The state in words: "waiting", "password offered", "connected".
    QString stateText() const;

    bool isLocal() const { return local; }
    void setLocal(bool isLocal) { local = isLocal; }

private:
    SessionRecord sessionRecord;
    bool local = true;
};

using SessionEntryList = QList<SessionEntry>;

#pragma once

#include "client/command_line/client_error.h"
#include "client/sessions/session_entry.h"

#include <json/value.h>

class RpcConnection;

// The sessions a host knows, its own and its peers', and the search for one of them by its id or
// a unique beginning of it.
class SessionCatalog
{
public:
    bool load(RpcConnection &connection, ClientError &error);

    const SessionEntryList &entries() const { return list; }
    // The records exactly as the server sent them: an array, empty when there are none.
    const Json::Value &records() const { return raw; }

    bool find(const QString &idOrPrefix, SessionEntry &entry, ClientError &error) const;
    // The shortest length, at least 8, that tells every listed id apart.
    int shortIdLength() const;

private:
    QString hostName;
    SessionEntryList list;
    Json::Value raw{Json::arrayValue};
};

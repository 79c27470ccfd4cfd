#include "client/sessions/session_catalog.h"

#include "client/host/failure_text.h"
#include "client/host/rpc_connection.h"

#include <QSet>

namespace {

constexpr int listTimeoutMs = 60000;
constexpr int shortestShownId = 8;

// A list result is an array of records, or null when there are none.
bool readList(const Json::Value &result, SessionEntryList &entries)
{
    if (result.isNull()) {
        return true;
    }
    if (!result.isArray()) {
        return false;
    }
    for (const Json::Value &value : result) {
        SessionEntry entry;
        if (!SessionEntry::fromJson(value, entry)) {
            return false;
        }
        entries << entry;
    }
    return true;
}

ClientError unreadable(const QString &host)
{
    return ClientError(ClientError::Unreachable,
                       QStringLiteral("%1 answered with a session list that lumen cannot read: do the versions of "
                                      "lumen here and lumen-server there match?")
                           .arg(host));
}

} // namespace

bool SessionCatalog::load(RpcConnection &connection, ClientError &error)
{
    hostName = connection.target().name();
    Json::Value all;
    Json::Value own;
    RpcError failure;
    if (!connection.call(QStringLiteral("Live.ListSessions"), Json::Value(), all, failure, listTimeoutMs)
        || !connection.call(QStringLiteral("Live.ListLocalSessions"), Json::Value(), own, failure, listTimeoutMs)) {
        error = describeFailure(failure, hostName, QString());
        return false;
    }
    SessionEntryList entries;
    SessionEntryList ownEntries;
    if (!readList(all, entries) || !readList(own, ownEntries)) {
        error = unreadable(hostName);
        return false;
    }
    QSet<QString> ownIds;
    for (const SessionEntry &entry : std::as_const(ownEntries)) {
        ownIds.insert(entry.id());
    }
    for (SessionEntry &entry : entries) {
        entry.setLocal(ownIds.contains(entry.id()));
    }
    list = entries;
    raw = all.isNull() ? Json::Value(Json::arrayValue) : all;
    return true;
}

bool SessionCatalog::find(const QString &idOrPrefix, SessionEntry &entry, ClientError &error) const
{
    SessionEntryList matches;
    for (const SessionEntry &candidate : list) {
        if (candidate.id().compare(idOrPrefix, Qt::CaseInsensitive) == 0) {
            entry = candidate;
            return true;
        }
        if (!idOrPrefix.isEmpty() && candidate.id().startsWith(idOrPrefix, Qt::CaseInsensitive)) {
            matches << candidate;
        }
    }
    if (matches.size() == 1) {
        entry = matches.first();
        return true;
    }
    if (matches.isEmpty()) {
        error = ClientError(ClientError::Refused,
                            QStringLiteral("%1 knows no session \"%2\". See its sessions with: lumen %1 list")
                                .arg(hostName, idOrPrefix));
        return false;
    }
    QStringList ids;
    for (const SessionEntry &match : std::as_const(matches)) {
        ids << match.id();
    }
    error = ClientError(ClientError::Usage,
                        QStringLiteral("\"%1\" is the beginning of %2 session ids on %3 (%4): give more of the id.")
                            .arg(idOrPrefix)
                            .arg(matches.size())
                            .arg(hostName, ids.join(QStringLiteral(", "))));
    return false;
}

int SessionCatalog::shortIdLength() const
{
    int length = shortestShownId;
    for (;;) {
        QSet<QString> prefixes;
        bool distinct = true;
        bool longer = false;
        for (const SessionEntry &entry : list) {
            const QString id = entry.id();
            longer = longer || id.size() > length;
            if (prefixes.contains(id.left(length).toLower())) {
                distinct = false;
            }
            prefixes.insert(id.left(length).toLower());
        }
        if (distinct || !longer) {
            return length;
        }
        ++length;
    }
}

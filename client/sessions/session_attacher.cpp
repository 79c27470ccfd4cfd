#include "client/sessions/session_attacher.h"

#include "client/command_line/console.h"
#include "client/host/failure_text.h"
#include "client/host/rpc_connection.h"
#include "client/sessions/session_entry.h"

#include <QThread>

namespace {

constexpr int callTimeoutMs = 60000;
// The session's state can change between the look and the call (another client at work): so
// many looks, then the client gives up.
constexpr int attempts = 5;
constexpr int invalidState = -32092;

Json::Value idParameter(const QString &id)
{
    Json::Value params(Json::arrayValue);
    params.append(id.toStdString());
    return params;
}

} // namespace

SessionAttacher::SessionAttacher(RpcConnection &owner, const QString &sessionId, bool takeOver)
    : owner(owner)
    , id(sessionId)
    , takeOver(takeOver)
{
}

bool SessionAttacher::attach(SessionTicket &ticket, ClientError &error)
{
    const QString host = owner.target().name();
    const QString shortId = id.left(8);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int state = SessionEntry::Unknown;
        if (!currentState(state, error)) {
            return false;
        }
        QString method;
        switch (state) {
        case SessionEntry::Connected:
            if (!takeOver) {
                error = ClientError(ClientError::Refused,
                                    QStringLiteral("Session %1 on %2 is connected from elsewhere. To take it over "
                                                   "(its viewer is disconnected), run: lumen %2 attach %1")
                                        .arg(shortId, host));
                return false;
            }
            Console::progress(QStringLiteral("Session %1 is connected elsewhere; taking it over...").arg(shortId));
            method = QStringLiteral("Live.Suspend");
            break;
        case SessionEntry::Offered:
            method = QStringLiteral("Live.Replay");
            break;
        case SessionEntry::Waiting:
            method = QStringLiteral("Live.Resume");
            break;
        default:
            error = ClientError(ClientError::Refused,
                                QStringLiteral("Session %1 on %2 offers no way in (its actions are unknown to this "
                                               "lumen): do the versions of lumen and lumen-server match?")
                                    .arg(shortId, host));
            return false;
        }
        Json::Value result;
        RpcError failure;
        if (!owner.call(method, idParameter(id), result, failure, callTimeoutMs)) {
            // Someone else changed the session meanwhile: look again.
            if (failure.kind == RpcError::Server && failure.code == invalidState) {
                QThread::msleep(200);
                continue;
            }
            error = describeFailure(failure, host, id);
            return false;
        }
        if (method == QLatin1String("Live.Suspend")) {
            continue;
        }
        if (!SessionTicket::fromResult(result, ticket)) {
            error = ClientError(ClientError::Unreachable,
                                QStringLiteral("%1 answered %2 with something lumen cannot read: do the versions of "
                                               "lumen and lumen-server match?")
                                    .arg(host, method));
            return false;
        }
        return true;
    }
    error = ClientError(ClientError::Refused,
                        QStringLiteral("Session %1 on %2 kept changing its state (another client at work?). Try "
                                       "again: lumen %2 attach %1")
                            .arg(shortId, host));
    return false;
}

bool SessionAttacher::currentState(int &state, ClientError &error)
{
    Json::Value result;
    RpcError failure;
    if (!owner.call(QStringLiteral("Live.ListLocalSessions"), Json::Value(), result, failure, callTimeoutMs)) {
        error = describeFailure(failure, owner.target().name(), id);
        return false;
    }
    if (result.isArray()) {
        for (const Json::Value &value : result) {
            SessionEntry entry;
            if (SessionEntry::fromJson(value, entry) && entry.id() == id) {
                state = entry.state();
                return true;
            }
        }
    }
    RpcError gone;
    gone.kind = RpcError::Server;
    gone.code = -32094;
    error = describeFailure(gone, owner.target().name(), id);
    return false;
}

#include "client/host/failure_text.h"

namespace {

// The server's codes for the failures a user can act on.
constexpr int noSuchSession = -32094;
constexpr int invalidState = -32092;
constexpr int noOpenDisplay = -32089;
constexpr int agentStartFailed = -32084;
constexpr int applicationStartFailed = -32083;
constexpr int agentTimeout = -32077;
constexpr int methodNotFound = -32601;
constexpr int invalidParameters = -32602;

} // namespace

ClientError describeFailure(const RpcError &error, const QString &host, const QString &sessionId)
{
    if (error.kind == RpcError::Connection) {
        return ClientError(ClientError::Unreachable, error.message);
    }
    if (error.kind == RpcError::LocalProgram) {
        return ClientError(ClientError::Usage, error.message);
    }
    if (error.kind == RpcError::Interrupted) {
        return ClientError(ClientError::Interrupted, QStringLiteral("Interrupted."));
    }
    const QString session = sessionId.left(8);
    QString text;
    switch (error.code) {
    case noSuchSession:
        text = QStringLiteral("%1 has no session %2 (it may have ended meanwhile). See its sessions with: lumen %1 list")
                   .arg(host, session);
        break;
    case invalidState:
        text = QStringLiteral("Session %2 on %1 cannot do that in its present state. See its state with: lumen %1 list")
                   .arg(host, session);
        break;
    case noOpenDisplay:
        text = QStringLiteral("%1 has no free display for another session. End one you no longer need "
                              "(lumen %1 terminate ID), or raise DisplayLimit in the Lumen Server settings there.")
                   .arg(host);
        break;
    case agentStartFailed:
        text = QStringLiteral("The session's X server could not be started on %1: is the package lumen-server "
                              "(start-agent) installed there?")
                   .arg(host);
        break;
    case applicationStartFailed:
        text = QStringLiteral("The application could not be started on %1 (start-app): is the package "
                              "lumen-server installed there?")
                   .arg(host);
        break;
    case agentTimeout:
        text = QStringLiteral("The session's X server on %1 did not answer in time; the session's logs are in "
                              "~/.lumen_server on %1.")
                   .arg(host);
        break;
    case methodNotFound:
    case invalidParameters:
        text = QStringLiteral("%1 did not understand the request (%2): do the versions of lumen here and "
                              "lumen-server there match?")
                   .arg(host, error.message);
        break;
    default:
        text = QStringLiteral("%1 refused: %2 (code %3) The server's log on %1 tells more: "
                              "~/.lumen_server/<host>/server_log, and for a session its folder in sessions/ there.")
                   .arg(host, error.message)
                   .arg(error.code);
        break;
    }
    return ClientError(ClientError::Refused, text);
}

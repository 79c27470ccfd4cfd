#include "server/rpc/list_sessions_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool ListSessionsMethod::invoke(Json::Value, Json::Value &result)
{
    SessionRecordList records;
    const int status = sessionManager->listSessions(records);
    if (status != 0) {
        result = statusError(status);
        return false;
    }
    result = recordListJson(records);
    return true;
}

Json::Value ListSessionsMethod::describe()
{
    return methodDocument("Returns all sessions known to the server.", {}, "An array of session objects.");
}

#include "server/rpc/list_local_sessions_method.h"

#include "server/manager/session_manager.h"
#include "server/rpc/method_params.h"

bool ListLocalSessionsMethod::invoke(Json::Value, Json::Value &result)
{
    SessionRecordList records;
    const int status = sessionManager->listLocalSessions(records);
    if (status != 0) {
        result = statusError(status);
        return false;
    }
    result = recordListJson(records);
    return true;
}

Json::Value ListLocalSessionsMethod::describe()
{
    return methodDocument("Returns the sessions on the server.", {}, "An array of session objects.");
}

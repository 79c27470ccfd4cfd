// Request processing with the real method table: the payload of one frame, as a client sends it,
// goes through the dispatcher exactly as on the server. The session store behind it
// has an empty display range and no launchers on PATH, so starts fail at once and nothing runs.
// Whatever the payload, the answer is nothing or one frame holding a JSON-RPC response (or a batch
// of them), and a request with an id is answered.

#include "fuzz_check.h"

#include "common/json_text.h"
#include "common/netstring.h"
#include "server/manager/session_manager.h"
#include "server/rpc/dispatcher.h"
#include "server/rpc/live_methods.h"

#include <QCoreApplication>
#include <QDir>

#include <json/value.h>

#include <cstdint>
#include <cstdlib>

namespace {
const Dispatcher *dispatcher = nullptr;

void checkResponse(const Json::Value &response)
{
    FUZZ_CHECK(response.isObject());
    FUZZ_CHECK(response["jsonrpc"] == Json::Value("2.0"));
    FUZZ_CHECK(response.isMember("id"));
    FUZZ_CHECK(response.isMember("result") != response.isMember("error"));
    if (response.isMember("error")) {
        const Json::Value &error = response["error"];
        FUZZ_CHECK(error.isObject() && error["code"].isInt() && error["message"].isString());
    }
}
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    // No launcher, no xauth: nothing outside the process is started.
    const QString emptyPath = fuzzScratchDirectory() + QStringLiteral("/bin");
    QDir().mkpath(emptyPath);
    ::setenv("PATH", QFile::encodeName(emptyPath).constData(), 1);
    const QString sessions = fuzzScratchDirectory() + QStringLiteral("/sessions");
    QDir().mkpath(sessions);
    static SessionManager manager(sessions, 100, 100, QString());
    static Dispatcher methods;
    addLiveMethods(methods, &manager);
    dispatcher = &methods;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray reply = dispatcher->processMessage(payload);
    if (reply.isEmpty()) {
        // Only notifications, or a batch of nothing but notifications, go unanswered.
        Json::Value request;
        const bool parsed = parseJson(payload, request);
        FUZZ_CHECK(parsed);
        FUZZ_CHECK(!(request.isObject() && request.isMember("id") && request.isMember("method")
                     && request["method"].isString() && request["jsonrpc"] == Json::Value("2.0")
                     && (request["id"].isString() || request["id"].isNumeric())));
        return 0;
    }
    // One whole frame (its payload may be larger than a receiver accepts: the encoder does not judge).
    const qsizetype colon = reply.indexOf(':');
    FUZZ_CHECK(colon > 0);
    const QByteArray message = reply.mid(colon + 1, reply.size() - colon - 2);
    FUZZ_CHECK(encodeNetString(message) == reply);
    Json::Value response;
    FUZZ_CHECK(parseJson(message, response));
    if (response.isArray()) {
        FUZZ_CHECK(!response.empty());
        for (const Json::Value &element : response) {
            checkResponse(element);
        }
    } else {
        checkResponse(response);
    }
    return 0;
}

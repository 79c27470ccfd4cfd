// The information object of the agent's socket. Whatever arrives, the parse is a success or a
// failure, never an exit; a failure changes nothing; the client count never goes below 0; and the
// object says absolute values, so applying it twice leaves what applying it once does.

#include "fuzz_check.h"

#include "server/session/agent_info.h"
#include "server/session/agent_info_object.h"

#include <cstdint>

namespace {
bool same(const AgentInfo &a, const AgentInfo &b)
{
    return a.started == b.started && a.lastConnect == b.lastConnect && a.lastDisconnect == b.lastDisconnect
        && a.clients == b.clients && a.passwords == b.passwords && a.screenSize == b.screenSize;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    AgentInfo before;
    before.clients = 3;
    before.passwords = QStringList{QStringLiteral("waiting")};
    before.screenSize = QSize(800, 600);
    AgentInfo info = before;
    QString error;
    if (!applyAgentInfoObject(text, info, error)) {
        FUZZ_CHECK(!error.isEmpty());
        FUZZ_CHECK(same(info, before));
        return 0;
    }
    FUZZ_CHECK(info.clients >= 0);
    AgentInfo again = info;
    FUZZ_CHECK(applyAgentInfoObject(text, again, error));
    FUZZ_CHECK(same(again, info));
    return 0;
}

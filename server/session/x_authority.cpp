#include "server/session/x_authority.h"

#include "server/process/program_runner.h"
#include "server/session/agent_contract.h"

#include <QDir>

namespace {
constexpr int xauthTimeoutMs = 10000;
}

bool addAuthorityEntry(const QString &sessionPath, const QString &displayName, const QString &cookie,
                       QString &error)
{
    const QStringList arguments = {QStringLiteral("-f"), QDir(sessionPath).filePath(AgentContract::authorityFile),
                                   QStringLiteral("add"), displayName, QStringLiteral("MIT-MAGIC-COOKIE-1"), cookie};
    return runProgram(QStringLiteral("xauth"), arguments, sessionPath, xauthTimeoutMs, error);
}

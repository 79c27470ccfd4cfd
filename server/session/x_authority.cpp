#include "server/session/x_authority.h"

#include "server/process/program_runner.h"
#include "server/session/agent_contract.h"
#include "server/session/xauth_standby.h"

#include <QDir>
#include <QFileInfo>

namespace {
constexpr int xauthTimeoutMs = 10000;
const QString xauth = QStringLiteral("xauth");
const QString cookieProtocol = QStringLiteral("MIT-MAGIC-COOKIE-1");

QString authorityFile(const QString &sessionPath)
{
    return QDir(sessionPath).filePath(AgentContract::authorityFile);
}

// Beside the sessions folder, on the same file system as every session directory.
QString standbyFolder(const QString &sessionPath)
{
    const QString sessionsFolder = QFileInfo(sessionPath).absolutePath();
    return QDir(QFileInfo(sessionsFolder).absolutePath()).filePath(QStringLiteral("xauth_standby"));
}

// Texts a command line could not hold (a line end, a quote) are never handed to "xauth" as commands.
bool isPlainWord(const QString &text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar character : text) {
        if (character.unicode() <= ' ' || character.unicode() >= 127 || character == QLatin1Char('"')
            || character == QLatin1Char('\\')) {
            return false;
        }
    }
    return true;
}
}

bool addAuthorityEntry(const QString &sessionPath, const QString &displayName, const QString &cookie,
                       QString &error)
{
    const QStringList arguments = {QStringLiteral("-f"), authorityFile(sessionPath), QStringLiteral("add"),
                                   displayName, cookieProtocol, cookie};
    return runProgram(xauth, arguments, sessionPath, xauthTimeoutMs, error);
}

void prepareNextAuthorityRun(const QString &sessionPath)
{
    XauthStandby::global().prepareSoon(standbyFolder(sessionPath));
}

bool addAuthorityEntries(const QString &sessionPath, const QString &localDisplay, const QString &hostDisplay,
                         const QString &cookie, QString &error, QString &hostError)
{
    hostError.clear();
    if (isPlainWord(localDisplay) && isPlainWord(hostDisplay) && isPlainWord(cookie)) {
        const QByteArray commands = QStringLiteral("add %1 %3 %4\nadd %2 %3 %4\n")
                                        .arg(localDisplay, hostDisplay, cookieProtocol, cookie)
                                        .toLatin1();
        // A file already there gets the entries added to what it holds: only a run on it does that.
        const QString file = authorityFile(sessionPath);
        if (!QFileInfo::exists(file) && XauthStandby::global().run(standbyFolder(sessionPath), commands, file)) {
            return true;
        }
        const QStringList arguments = {QStringLiteral("-f"), file, QStringLiteral("source"), QStringLiteral("-")};
        QString runError;
        if (runProgram(xauth, arguments, sessionPath, xauthTimeoutMs, runError, commands)) {
            return true;
        }
    }
    // A command failed, or the names cannot be written as commands: one run for each entry tells
    // which it was, with the reason that run gives. Adding an entry again replaces it with the same.
    if (!addAuthorityEntry(sessionPath, localDisplay, cookie, error)) {
        return false;
    }
    addAuthorityEntry(sessionPath, hostDisplay, cookie, hostError);
    return true;
}

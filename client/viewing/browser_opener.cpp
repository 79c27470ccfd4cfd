#include "client/viewing/browser_opener.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

QStringList browserCommands()
{
    QStringList commands;
    const QString variable = qEnvironmentVariable("BROWSER");
    for (const QString &command : variable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!command.trimmed().isEmpty()) {
            commands << command;
        }
    }
    commands << QStringLiteral("xdg-open");
    return commands;
}

bool startDetached(QStringList words, const QString &address)
{
    const QString program = QStandardPaths::findExecutable(words.takeFirst());
    if (program.isEmpty()) {
        return false;
    }
    bool placed = false;
    for (QString &word : words) {
        if (word.contains(QLatin1String("%s"))) {
            word.replace(QLatin1String("%s"), address);
            placed = true;
        }
    }
    if (!placed) {
        words << address;
    }
    // A browser's chatter does not belong in the client's output.
    QProcess browser;
    browser.setProgram(program);
    browser.setArguments(words);
    browser.setStandardInputFile(QProcess::nullDevice());
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    return browser.startDetached();
}

} // namespace

bool BrowserOpener::open(const QString &address, QString &problem)
{
    const QStringList commands = browserCommands();
    for (const QString &command : commands) {
        const QStringList words = QProcess::splitCommand(command);
        if (!words.isEmpty() && startDetached(words, address)) {
            return true;
        }
    }
    problem = qEnvironmentVariableIsEmpty("BROWSER")
                  ? QStringLiteral("xdg-open is not installed (package xdg-utils) and BROWSER is not set")
                  : QStringLiteral("none of the browsers in BROWSER, nor xdg-open, could be started");
    return false;
}

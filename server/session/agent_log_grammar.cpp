#include "server/session/agent_log_grammar.h"

#include "server/session/agent_info.h"

#include <QRegularExpression>

#include <vector>

namespace {
QRegularExpression wholeLine(const char *pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(QString::fromLatin1(pattern)));
}

void onInitialized(const QRegularExpressionMatch &match, AgentInfo &info)
{
    info.started = AgentInfo::parseDateTime(match.captured(1));
}

void onPasswordAdded(const QRegularExpressionMatch &match, AgentInfo &info)
{
    info.passwords.append(match.captured(1));
}

void onPasswordExpired(const QRegularExpressionMatch &match, AgentInfo &info)
{
    info.passwords.removeOne(match.captured(1));
}

void onClientAuthenticated(const QRegularExpressionMatch &match, AgentInfo &info)
{
    ++info.clients;
    info.passwords.removeOne(match.captured(3));
    info.lastConnect = AgentInfo::parseDateTime(match.captured(2));
}

void onClientDisconnected(const QRegularExpressionMatch &match, AgentInfo &info)
{
    // A disconnection without a connection before it (a log that starts mid-way) must not leave
    // the count below 0.
    if (info.clients > 0) {
        --info.clients;
    }
    info.lastDisconnect = AgentInfo::parseDateTime(match.captured(2));
}

void onScreenResized(const QRegularExpressionMatch &match, AgentInfo &info)
{
    // An empty side counts as 0; a side too large for an int makes the line unusable.
    bool widthOk = true;
    bool heightOk = true;
    const QString width = match.captured(1);
    const QString height = match.captured(2);
    const int w = width.isEmpty() ? 0 : width.toInt(&widthOk);
    const int h = height.isEmpty() ? 0 : height.toInt(&heightOk);
    if (widthOk && heightOk) {
        info.screenSize = QSize(w, h);
    }
}

struct LineRule
{
    QString prefix;
    QRegularExpression pattern;
    void (*apply)(const QRegularExpressionMatch &, AgentInfo &);
};

const std::vector<LineRule> &lineRules()
{
    static const std::vector<LineRule> rules = {
        {QStringLiteral("RDP initialized at "), wholeLine("RDP initialized at '(\\S*)'"), onInitialized},
        {QStringLiteral("Added new password "), wholeLine("Added new password (.*)"), onPasswordAdded},
        {QStringLiteral("Expiring password "), wholeLine("Expiring password (.*)"), onPasswordExpired},
        {QStringLiteral("Client authenticated from "),
         wholeLine("Client authenticated from '(\\S*)' at '(\\S*)' with password '(\\S*)'"), onClientAuthenticated},
        {QStringLiteral("Client disconnected from "), wholeLine("Client disconnected from '(\\S*)' at '(\\S*)'"),
         onClientDisconnected},
        {QStringLiteral("Screen resized to "), wholeLine("Screen resized to '(\\d*)x(\\d*)'"), onScreenResized},
    };
    return rules;
}
}

void applyAgentLogLine(const QString &line, AgentInfo &info)
{
    for (const LineRule &rule : lineRules()) {
        if (!line.startsWith(rule.prefix)) {
            continue;
        }
        // Only the first matching prefix decides; a line of the wrong form is dropped.
        const QRegularExpressionMatch match = rule.pattern.match(line);
        if (match.hasMatch()) {
            rule.apply(match, info);
        }
        return;
    }
}

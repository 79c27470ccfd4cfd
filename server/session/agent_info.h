#pragma once

#include <QDateTime>
#include <QSize>
#include <QString>
#include <QStringList>

// What the agent tells about its session, through its log or its information socket.
struct AgentInfo
{
    QDateTime started;
    QDateTime lastConnect;
    QDateTime lastDisconnect;
    int clients = 0;
    QStringList passwords; // oldest first
    QSize screenSize{-1, -1};

    // The agent's date-times: "yyyy-MM-ddThh:mm:ss", local time; null when the text does not fit.
    static QDateTime parseDateTime(const QString &text);
};

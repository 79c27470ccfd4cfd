#pragma once

#include <QString>

// What a start, resume or replay hands out: how a viewer reaches the session, or why it cannot.
struct SessionAccess
{
    int status = 0; // 0, or the error code of the failed operation
    quint16 port = 0;
    QString password;
    QString windowMode;
    QString geometry;

    static SessionAccess failure(int status)
    {
        SessionAccess access;
        access.status = status;
        return access;
    }
};

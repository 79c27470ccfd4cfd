#pragma once

#include <QString>

// A session identifier is 32 hexadecimal digits chosen by the client, compared case-sensitively;
// its directory is "C-<id>" inside the sessions directory.

bool isValidSessionId(const QString &id);
QString sessionDirectory(const QString &sessionsDirectory, const QString &id);
// The identifier that a session directory's name carries, or a null string when it carries none.
QString sessionIdFromDirectory(const QString &path);

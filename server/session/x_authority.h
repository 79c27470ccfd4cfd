#pragma once

#include <QString>

// Adds an MIT-MAGIC-COOKIE-1 entry for the display name to the X authority file, with "xauth" run
// in the session directory. Returns the program runner's error text on failure.
bool addAuthorityEntry(const QString &sessionPath, const QString &displayName, const QString &cookie,
                       QString &error);

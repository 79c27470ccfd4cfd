#pragma once

#include <QString>
#include <QStringList>

// Adds an MIT-MAGIC-COOKIE-1 entry for the display name to the X authority file, with "xauth" run
// in the session directory. Returns the program runner's error text on failure.
bool addAuthorityEntry(const QString &sessionPath, const QString &displayName, const QString &cookie,
                       QString &error);

// Readies an "xauth" for the next session's entries (see XauthStandby), when the program is one that
// starts session after session; a session directory tells where its file goes.
void prepareNextAuthorityRun(const QString &sessionPath);

// Adds the session's entries, the one it needs (`localDisplay`) and the one that is a convenience
// (`hostDisplay`), in one run of "xauth" that reads its commands from standard input. The file ends
// up as two runs of addAuthorityEntry would leave it, and so do the failures: false with `error` when
// the local entry could not be added (the host entry is then not tried); true with `hostError` set
// when only the host entry failed. Only when the run fails are the two entries added again one by
// one, to tell which of them it was and why.
bool addAuthorityEntries(const QString &sessionPath, const QString &localDisplay, const QString &hostDisplay,
                         const QString &cookie, QString &error, QString &hostError);

#pragma once

#include "client/sessions/session_entry.h"

class SessionJobs;

#include <QString>

// The session list as a table for people: short id, host, state in words, name, when the session
// started and when a viewer last connected.
class SessionTable
{
public:
    // `localHost` names the host of sessions whose location is empty (discovery is off there).
    SessionTable(const QString &localHost, int idLength);

    // With `jobs` that hold any: the columns JOB and LEFT (the time the job has left), and one row
    // for each job whose session is not listed yet.
    QString format(const SessionEntryList &entries, const SessionJobs *jobs = nullptr) const;
    // The host column of one session.
    QString hostOf(const SessionEntry &entry) const;
    static QString timeText(const QDateTime &time);
    // A name fit for one line of a table.
    static QString oneLine(const QString &text, int limit);

private:
    QString localHost;
    int idLength;
};

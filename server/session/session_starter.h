#pragma once

#include <QString>
#include <QtGlobal>

// Who is making a session, recorded in its directory (the file "starter") for as long as its start
// record ("stage", see SessionStage) is there: the server, or lumen-job inside a batch job, with the
// process id and that process's start time, so that a reused pid is never taken for the starter.
//
// A server that finds a half-made session leaves it alone while its starter lives in another process:
// lumen-job is still making it, and only lumen-job may start its application (inside the job).
class SessionStarter
{
public:
    enum Kind { Server, Job };

    struct Record {
        Kind kind = Server;
        qint64 pid = 0;
        quint64 startTicks = 0; // the process's start, in clock ticks since boot (/proc/<pid>/stat)
    };

    // Records this process as the starter.
    static bool write(const QString &directory, Kind kind, QString &error);
    // False when there is no record or it cannot be read: the starter is then unknown.
    static bool read(const QString &directory, Record &record);
    static bool remove(const QString &directory, QString &error);

    // Whether the recorded process runs, is the same process (not a reuse of its pid) and is not
    // this one.
    static bool isAnotherLiveProcess(const Record &record);

    // The start time of a process, false when it is gone.
    static bool processStartTicks(qint64 pid, quint64 &ticks);
};

#pragma once

#include <QMutex>
#include <QString>

// Level-filtered, thread-safe logger behind one process-wide pointer. The concrete back ends decide
// where a line goes; the program's main function owns the logger and installs it.
class Logging
{
public:
    enum Level { Critical = 0, Warning = 1, Info = 2, Debug1 = 3, Debug2 = 4, Debug3 = 5 };

    Logging();
    virtual ~Logging();

    void log(int level, const QString &message);
    void setLevel(int level);
    int level() const;

    static QString levelName(int level);
    static int levelFromName(const QString &name);
    // The server's line: "<date>: <level>: <message>", without the line end.
    static QString formatLine(int level, const QString &message);
    static QString currentDate();

    static Logging *instance();
    static void setInstance(Logging *logger);

protected:
    // Called with the mutex held.
    virtual void write(int level, const QString &message) = 0;

    mutable QMutex mutex;

private:
    int threshold = Info;
};

// Logs through the process-wide logger; a message is dropped while none is installed.
void logMessage(int level, const QString &message);

#pragma once

#include <QString>
#include <QStringList>

// The command line of lumen-job, as the batch script of a desktop job gives it:
//   lumen-job --id ID --geometry WxH|rootless [--] COMMAND
// COMMAND is one shell command line, as a session's application is everywhere else.
class JobOptions
{
public:
    // `arguments` without the program's name. Fails with a message for the job's log.
    static bool parse(const QStringList &arguments, JobOptions &options, QString &error);
    static QString usage();

    bool wantsHelp() const { return help; }
    QString sessionId() const { return id; }
    QString geometry() const { return sessionGeometry; }
    QString command() const { return application; }

private:
    bool help = false;
    QString id;
    QString sessionGeometry;
    QString application;
};

#pragma once

#include <QString>

// Why a command of the client failed: the exit status it ends with and one message for the user
// that says what happened and what to do next.
class ClientError
{
public:
    enum Status {
        None = 0,
        Refused = 1,     // the host refused, or has no such session
        Usage = 2,       // the command line is wrong, or a local program it needs is missing
        Unreachable = 3, // the host, its relay or its server could not be reached
        ViewerFailed = 4, // the viewer crashed or ended with an error of its own
        Interrupted = 130, // Ctrl+C (or SIGTERM, SIGHUP) before the command was done
    };

    ClientError() = default;
    ClientError(Status status, const QString &message)
        : errorStatus(status)
        , errorMessage(message)
    {
    }

    bool isError() const { return errorStatus != None; }
    Status status() const { return errorStatus; }
    QString message() const { return errorMessage; }

private:
    Status errorStatus = None;
    QString errorMessage;
};

#pragma once

#include "client/command_line/client_error.h"

#include <QObject>
#include <QStringList>

class QProcess;

// The VNC viewer on this machine: TigerVNC's vncviewer unless the user names another command. It
// connects to the tunnel's port, "127.0.0.1::PORT" as its last argument, and finds the password in
// the environment variable VNC_PASSWORD, readable by the user alone: never on a command line or in
// a file. Its output (a banner and a log) is kept, the last part of it, and shown only when it fails.
class ViewerProcess : public QObject
{
    Q_OBJECT

public:
    // How the viewer ended, as far as its exit and its output tell.
    enum class Ending {
        Closed,     // the user closed it (or a signal asked it to end), or the host ended its session
        Failed,     // it ended with an error: refused, unreachable, no display, ...
        Crashed,    // a signal other than a request to end killed it
        NotStarted, // the program could not be run
    };

    explicit ViewerProcess(const QStringList &viewerCommand, QObject *parent = nullptr);
    ~ViewerProcess() override;

    // Whether the viewer can be run; if not, what to install.
    bool check(ClientError &error) const;
    void start(quint16 port, const QString &password);
    // Asks the viewer to close, and ends it if it does not.
    void stop();
    bool isRunning() const;
    qint64 processId() const;

    // After `finished`.
    Ending ending() const;
    // The viewer's own last message, in one line ("Authentication failure: Authentication failed").
    QString reason() const;
    // Whether a failed viewer says that the session refused it (a wrong or used password, or a
    // connection closed before the session was shown). Only TigerVNC's viewer says so in words
    // lumen knows.
    bool wasTurnedAway() const;
    QString program() const { return command.first(); }

signals:
    void finished();

private:
    QString programPath() const;
    void keepOutput();

    QStringList command;
    bool isDefault;
    QProcess *process;
    QByteArray output;
    bool startFailed = false;
};

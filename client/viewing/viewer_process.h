#pragma once

#include "client/viewing/session_presenter.h"

#include <QStringList>

class QProcess;

// The VNC viewer on this machine: TigerVNC's vncviewer unless the user names another command. It
// connects to the tunnel's port, "127.0.0.1::PORT" as its last argument, and finds the password in
// the environment variable VNC_PASSWORD, readable by the user alone: never on a command line or in
// a file. Its output (a banner and a log) is kept, the last part of it, and shown only when it fails.
class ViewerProcess : public SessionPresenter
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

    bool check(ClientError &error) const override;
    void start(const SessionView &view) override;
    // Asks the viewer to close, and ends it if it does not.
    void stop() override;
    ClientError failure(const SessionView &view, const TunnelEnd &tunnel) const override;
    QString closedText() const override { return QStringLiteral("The viewer is closed"); }
    QString connectionName() const override { return QStringLiteral("the viewer's connection"); }

    // After `ended`.
    Ending ending() const;
    // The viewer's own last message, in one line ("Authentication failure: Authentication failed").
    QString reason() const;
    // Whether a failed viewer says that the session refused it (a wrong or used password, or a
    // connection closed before the session was shown). Only TigerVNC's viewer says so in words
    // lumen knows.
    bool wasTurnedAway() const;
    QString program() const { return command.first(); }

private:
    QString programPath() const;
    void keepOutput();

    QStringList command;
    bool isDefault;
    QProcess *process;
    QByteArray output;
    bool startFailed = false;
};

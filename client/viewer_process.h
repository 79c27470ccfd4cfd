#pragma once

#include "client/client_error.h"

#include <QObject>
#include <QStringList>

class QProcess;

// The VNC viewer on this machine: TigerVNC's vncviewer unless the user names another command. It
// connects to the tunnel's port, "127.0.0.1::PORT" as its last argument, and finds the password in
// the environment variable VNC_PASSWORD, readable by the user alone: never on a command line or in
// a file.
class ViewerProcess : public QObject
{
    Q_OBJECT

public:
    explicit ViewerProcess(const QStringList &viewerCommand, QObject *parent = nullptr);
    ~ViewerProcess() override;

    // Whether the viewer can be run; if not, what to install.
    bool check(ClientError &error) const;
    void start(quint16 port, const QString &password);
    // Asks the viewer to close, and ends it if it does not.
    void stop();
    bool isRunning() const;
    qint64 processId() const;

signals:
    void finished(int exitCode);

private:
    QString programPath() const;

    QStringList command;
    bool isDefault;
    QProcess *process;
};

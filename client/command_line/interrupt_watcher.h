#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP as a Qt signal on the main thread, so that the client can end its
// viewer and tunnel in order instead of dying with them half done. The handler only writes to a
// pipe; one watcher per process.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool isInstalled() const { return notifier != nullptr; }

signals:
    void interrupted(int signal);

private slots:
    void Notifier_activated();

private:
    int readFd = -1;
    QSocketNotifier *notifier = nullptr;
};

#pragma once

#include <QByteArray>
#include <QThread>

class SessionManager;

// Every 400 ms asks the store for the session list (clearing away ended sessions on the way) and,
// when the list differs from the one last sent, hands it out as one "UpdateSessions" frame. Its
// thread only keeps time: the work is delivered to the main thread, where the object lives.
class SessionUpdater : public QThread
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 400;

    explicit SessionUpdater(SessionManager *sessionManager, QObject *parent = nullptr);
    ~SessionUpdater() override;

signals:
    void sendUpdates(QByteArray msg);

protected:
    void run() override;

private slots:
    void doWork();
    void sendUpdatesHelper(QByteArray msg);

private:
    SessionManager *sessionManager;
    QByteArray lastMessage;
};

#pragma once

#include "server/discovery/host_addresses.h"
#include "server/discovery/peer_query.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

template <typename T>
class QFutureWatcher;
class QUdpSocket;
class SessionManager;

// Finds the user's servers on other hosts: announces this server with small JSON datagrams to the
// broadcast address, and queries every server of the same user that announces itself. Queries run
// on the global thread pool, so receiving never waits for a peer.
class UdpTalker : public QObject
{
    Q_OBJECT

public:
    static constexpr int updateIntervalMs = 300000;

    UdpTalker(QUdpSocket *socket, const QHostAddress &broadcastAddress, quint16 broadcastPort, quint16 listenPort,
              SessionManager *store, const QString &keyPath, const QString &certificatePath,
              QObject *parent = nullptr);
    // Waits for the queries still running: they use the store, which goes right after the talker.
    ~UdpTalker() override;

    // Which senders count as this host; by default the current interface addresses.
    void setHostAddresses(const HostAddresses &addresses);
    void setQueryTiming(const PeerQueryTiming &timing);
    void setUpdateInterval(int ms);

public slots:
    void sendHello();
    void sendUpdate();
    void sendUpdateTo(QHostAddress address, quint16 port);

private slots:
    void Socket_readyRead();

private:
    // A query in flight, and whether the peer announced itself again meanwhile.
    struct RunningQuery
    {
        QFutureWatcher<void> *watcher = nullptr;
        bool again = false;
    };

    void send(const QString &method, const QHostAddress &address, quint16 port);
    void receive(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort);
    void startQuery(const QHostAddress &address, quint16 port);
    void queryFinished(const QHostAddress &address, quint16 port);

    QUdpSocket *socket;
    QHostAddress broadcastAddress;
    quint16 broadcastPort;
    quint16 listenPort;
    SessionManager *store;
    QString keyPath;
    QString certificatePath;
    QString user;
    QTimer updateTimer;
    HostAddresses hostAddresses;
    PeerQueryTiming queryTiming;
    // At most one query per peer: a burst of announcements must not fill the shared pool.
    QMap<QString, RunningQuery> runningQueries;
};

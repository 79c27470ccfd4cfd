#pragma once

#include "server/discovery/host_addresses.h"
#include "server/discovery/peer_query.h"
#include "server/discovery/throttled_log.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>

template <typename T>
class QFutureWatcher;
class QUdpSocket;
class PeerTable;

// Finds the user's servers on other hosts: announces this server with small JSON datagrams to the
// broadcast address, and queries every server of the same user that announces itself.
//
// Anyone on the network can send datagrams, so what they may cost is bounded: queries run on a
// small pool of their own (never on the one that serves requests), one at a time per peer and at
// most `waitingQueryLimit` waiting, further announcements being dropped; a HELLO is answered at
// most once per sender address every `answerIntervalMs`; a peer that keeps failing, or a sender of
// broken datagrams, is logged at most once a minute. Receiving never waits for a peer.
class UdpTalker : public QObject
{
    Q_OBJECT

public:
    static constexpr int updateIntervalMs = 300000;
    static constexpr int queryThreads = 4;
    static constexpr int waitingQueryLimit = 16;
    static constexpr int answerIntervalMs = 5000;
    // Datagrams handled in one turn of the event loop; the rest wait for the next turn.
    static constexpr int datagramsPerTurn = 64;

    UdpTalker(QUdpSocket *socket, const QHostAddress &broadcastAddress, quint16 broadcastPort, quint16 listenPort,
              PeerTable *peers, const QString &keyPath, const QString &certificatePath,
              QObject *parent = nullptr);
    // Waits for the queries still running: they use the peer table, which outlives the talker.
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
    // Whether a HELLO from this address may be answered now; remembers that it was.
    bool mayAnswer(const QHostAddress &sender);

    QUdpSocket *socket;
    QHostAddress broadcastAddress;
    quint16 broadcastPort;
    quint16 listenPort;
    PeerTable *peers;
    QString keyPath;
    QString certificatePath;
    QString user;
    QTimer updateTimer;
    HostAddresses hostAddresses;
    PeerQueryTiming queryTiming;
    // At most one query per peer, running or waiting for a thread of the pool.
    QMap<QString, RunningQuery> runningQueries;
    QThreadPool queryPool;
    // Set when the talker goes: queries that have not started yet end at once.
    std::shared_ptr<std::atomic<bool>> stopping = std::make_shared<std::atomic<bool>>(false);
    QElapsedTimer clock;
    QHash<QString, qint64> answeredAtMs; // by sender address
    ThrottledLog queryFailures;          // by peer key
    ThrottledLog brokenDatagrams;        // by sender address
};

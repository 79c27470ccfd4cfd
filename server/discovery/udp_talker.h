#pragma once

#include "server/discovery/host_addresses.h"
#include "server/discovery/name_resolver.h"
#include "server/discovery/named_peer.h"
#include "server/discovery/peer_query.h"
#include "server/discovery/throttled_log.h"
#include "server/discovery/unicast_targets.h"

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
class QNetworkDatagram;
class QUdpSocket;
class PeerTable;

// Finds the user's servers on other hosts: announces this server with small JSON datagrams to the
// broadcast address, and queries every server of the same user that announces itself.
//
// Where a broadcast does not reach, each announcement also goes unicast to the named peers (the
// "Peers" setting) and to the hosts that announced themselves to this server directly. Names are
// looked up again at every announcement, off the main thread; an address that a lookup turns up
// new is greeted with a HELLO at once, so announcing never waits for a lookup. A null broadcast
// address turns the broadcast off.
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
    // A named host that has not been heard from is greeted this often: it may have started after
    // this server, when our HELLO found nobody, and it need not name us in turn.
    static constexpr int greetingIntervalMs = 30000;

    UdpTalker(QUdpSocket *socket, const QHostAddress &broadcastAddress, quint16 broadcastPort, quint16 listenPort,
              PeerTable *peers, const QString &keyPath, const QString &certificatePath,
              QObject *parent = nullptr);
    // Waits for the queries still running: they use the peer table, which outlives the talker.
    ~UdpTalker() override;

    // Which senders count as this host; by default the current interface addresses.
    void setHostAddresses(const HostAddresses &addresses);
    // The hosts that are announced to unicast; a name that does not resolve is logged at most once
    // a minute. `lookup` replaces the system resolver (tests).
    void setNamedPeers(const QList<NamedPeer> &peers, const NameResolver::Lookup &lookup = {});
    void setQueryTiming(const PeerQueryTiming &timing);
    void setUpdateInterval(int ms);
    void setGreetingInterval(int ms);

public slots:
    void sendHello();
    void sendUpdate();
    // The last UPDATE, as the server exits: its peers query it once more, fail, and drop its
    // sessions at once rather than after their expiry. No name is looked up again.
    void sendFarewell();
    void sendUpdateTo(QHostAddress address, quint16 port);

private slots:
    void Socket_readyRead();

private:
    // A query in flight, and whether the peer announced itself again meanwhile.
    struct RunningQuery
    {
        QFutureWatcher<PeerAnswer> *watcher = nullptr;
        // Set by the query as it asks: an announcement before that is answered by this query.
        std::shared_ptr<std::atomic<bool>> asked;
        bool again = false;
    };

    // One announcement to the broadcast address and every unicast target.
    void announce(const QString &method, bool lookUpAgain = true);
    void send(const QString &method, const QHostAddress &address, quint16 port);
    void receive(const QNetworkDatagram &datagram);
    void startQuery(const QHostAddress &address, quint16 port);
    void queryFinished(const QHostAddress &address, quint16 port);
    void Resolver_resolved(const QString &name, const QList<QHostAddress> &addresses, const QString &error);
    // A HELLO to each named host that has been silent for as long as a peer table keeps an entry,
    // and a new lookup of the names (one that failed at start is not left for the next change).
    void greetSilentNamedPeers();
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
    QTimer greetingTimer;
    HostAddresses hostAddresses;
    PeerQueryTiming queryTiming;
    UnicastTargets unicastTargets;
    std::unique_ptr<NameResolver> resolver;
    // At most one query per peer, running or waiting for a thread of the pool.
    QMap<QString, RunningQuery> runningQueries;
    QThreadPool queryPool;
    // Set when the talker goes: queries that have not started yet end at once.
    std::shared_ptr<std::atomic<bool>> stopping = std::make_shared<std::atomic<bool>>(false);
    QElapsedTimer clock;
    QHash<QString, qint64> answeredAtMs; // by sender address
    QHash<QString, qint64> heardAtMs;    // by address, named hosts only: when they last announced
    ThrottledLog queryFailures;          // by peer key
    ThrottledLog brokenDatagrams;        // by sender address
    ThrottledLog unresolvedNames;        // by name
};

#include "server/discovery/udp_talker.h"

#include "common/logging.h"
#include "server/discovery/announcement.h"

#include <QFutureWatcher>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtConcurrent>

UdpTalker::UdpTalker(QUdpSocket *socket, const QHostAddress &broadcastAddress, quint16 broadcastPort,
                     quint16 listenPort, PeerTable *peers, const QString &keyPath,
                     const QString &certificatePath, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , broadcastAddress(broadcastAddress)
    , broadcastPort(broadcastPort)
    , listenPort(listenPort)
    , peers(peers)
    , keyPath(keyPath)
    , certificatePath(certificatePath)
    , user(QString::fromLocal8Bit(qgetenv("USER")))
{
    connect(socket, &QUdpSocket::readyRead, this, &UdpTalker::Socket_readyRead);
    // Peers drop an entry that has not been renewed for a while, so announce even without changes.
    connect(&updateTimer, &QTimer::timeout, this, &UdpTalker::sendUpdate);
    updateTimer.start(updateIntervalMs);
    queryPool.setMaxThreadCount(queryThreads);
    clock.start();
}

UdpTalker::~UdpTalker()
{
    stopping->store(true);
    for (const RunningQuery &query : std::as_const(runningQueries)) {
        query.watcher->waitForFinished();
    }
}

void UdpTalker::setHostAddresses(const HostAddresses &addresses)
{
    hostAddresses = addresses;
}

void UdpTalker::setQueryTiming(const PeerQueryTiming &timing)
{
    queryTiming = timing;
}

void UdpTalker::setUpdateInterval(int ms)
{
    updateTimer.start(ms);
}

void UdpTalker::sendHello()
{
    send(QStringLiteral("HELLO"), broadcastAddress, broadcastPort);
}

void UdpTalker::sendUpdate()
{
    send(QStringLiteral("UPDATE"), broadcastAddress, broadcastPort);
}

void UdpTalker::sendUpdateTo(QHostAddress address, quint16 port)
{
    send(QStringLiteral("UPDATE"), address, port);
}

void UdpTalker::send(const QString &method, const QHostAddress &address, quint16 port)
{
    // Port 0 means discovery is off; a send there would only fail (after binding the socket).
    if (port == 0) {
        return;
    }
    // Fire and forget: a lost announcement is repeated by the next one.
    socket->writeDatagram(Announcement::write(method, listenPort, user), address, port);
}

void UdpTalker::Socket_readyRead()
{
    for (int handled = 0; socket->hasPendingDatagrams(); ++handled) {
        // A flood must not keep the main thread here: the rest is taken in the next turn.
        if (handled == datagramsPerTurn) {
            QTimer::singleShot(0, this, &UdpTalker::Socket_readyRead);
            return;
        }
        const QNetworkDatagram datagram = socket->receiveDatagram();
        if (!datagram.isValid()) {
            return;
        }
        receive(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void UdpTalker::receive(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort)
{
    // Our own broadcasts come back to us, and other servers on this host see our sessions anyway.
    if (hostAddresses.contains(sender)) {
        return;
    }
    Announcement announcement;
    switch (Announcement::read(datagram, announcement)) {
    case Announcement::Reading::InvalidJson:
        brokenDatagrams.warn(sender.toString(), QStringLiteral("Received invalid JSON"));
        return;
    case Announcement::Reading::WrongShape:
        return;
    case Announcement::Reading::Valid:
        break;
    }
    if (announcement.user != user) {
        return;
    }
    if (announcement.method == QLatin1String("HELLO")) {
        startQuery(sender, announcement.port);
        // The newcomer learns of us at once instead of at our next change or timer.
        if (mayAnswer(sender)) {
            sendUpdateTo(sender, senderPort);
        }
    } else if (announcement.method == QLatin1String("UPDATE")) {
        startQuery(sender, announcement.port);
    }
}

void UdpTalker::startQuery(const QHostAddress &address, quint16 port)
{
    const QString key = peerKey(address, port);
    auto running = runningQueries.find(key);
    if (running != runningQueries.end()) {
        // The running query may have read the peer's list before this change.
        running->again = true;
        return;
    }
    if (runningQueries.size() >= queryThreads + waitingQueryLimit) {
        return; // the peer announces itself again at its next change, or within five minutes
    }
    auto *watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, address, port] { queryFinished(address, port); });
    runningQueries.insert(key, RunningQuery{watcher, false});
    watcher->setFuture(QtConcurrent::run(&queryPool, [address, port, keyPath = keyPath,
                                                      certificatePath = certificatePath, peers = peers,
                                                      timing = queryTiming, stopping = stopping,
                                                      failures = &queryFailures] {
        if (!stopping->load()) {
            queryPeer(address, port, keyPath, certificatePath, peers, timing, failures);
        }
    }));
}

bool UdpTalker::mayAnswer(const QHostAddress &sender)
{
    const qint64 now = clock.elapsed();
    const QString key = sender.toString();
    const auto answered = answeredAtMs.constFind(key);
    if (answered != answeredAtMs.constEnd() && now - *answered < answerIntervalMs) {
        return false;
    }
    // Senders are remembered only as long as they matter; a flood of forged ones gets no answer
    // rather than a table without bound.
    constexpr int rememberedSenders = 256;
    if (answered == answeredAtMs.constEnd() && answeredAtMs.size() >= rememberedSenders) {
        answeredAtMs.removeIf([now](const auto &entry) { return now - entry.value() >= answerIntervalMs; });
        if (answeredAtMs.size() >= rememberedSenders) {
            return false;
        }
    }
    answeredAtMs.insert(key, now);
    return true;
}

void UdpTalker::queryFinished(const QHostAddress &address, quint16 port)
{
    const RunningQuery query = runningQueries.take(peerKey(address, port));
    if (query.watcher) {
        query.watcher->deleteLater();
    }
    if (query.again) {
        startQuery(address, port);
    }
}

#include "server/discovery/udp_talker.h"

#include "common/logging.h"
#include "server/discovery/announcement.h"

#include <QFutureWatcher>
#include <QNetworkDatagram>
#include <QThreadPool>
#include <QUdpSocket>
#include <QtConcurrent>

UdpTalker::UdpTalker(QUdpSocket *socket, const QHostAddress &broadcastAddress, quint16 broadcastPort,
                     quint16 listenPort, SessionManager *store, const QString &keyPath,
                     const QString &certificatePath, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , broadcastAddress(broadcastAddress)
    , broadcastPort(broadcastPort)
    , listenPort(listenPort)
    , store(store)
    , keyPath(keyPath)
    , certificatePath(certificatePath)
    , user(QString::fromLocal8Bit(qgetenv("USER")))
{
    connect(socket, &QUdpSocket::readyRead, this, &UdpTalker::Socket_readyRead);
    // Peers drop an entry that has not been renewed for a while, so announce even without changes.
    connect(&updateTimer, &QTimer::timeout, this, &UdpTalker::sendUpdate);
    updateTimer.start(updateIntervalMs);
}

UdpTalker::~UdpTalker()
{
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
    while (socket->hasPendingDatagrams()) {
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
        logMessage(Logging::Warning, QStringLiteral("Received invalid JSON"));
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
        sendUpdateTo(sender, senderPort);
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
    auto *watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, address, port] { queryFinished(address, port); });
    runningQueries.insert(key, RunningQuery{watcher, false});
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), queryPeer, address, port, keyPath,
                                         certificatePath, store, queryTiming));
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

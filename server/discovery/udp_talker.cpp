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
    , resolver(std::make_unique<NameResolver>())
{
    connect(resolver.get(), &NameResolver::resolved, this, &UdpTalker::Resolver_resolved);
    connect(socket, &QUdpSocket::readyRead, this, &UdpTalker::Socket_readyRead);
    // Peers drop an entry that has not been renewed for a while, so announce even without changes.
    connect(&updateTimer, &QTimer::timeout, this, &UdpTalker::sendUpdate);
    updateTimer.start(updateIntervalMs);
    connect(&greetingTimer, &QTimer::timeout, this, &UdpTalker::greetSilentNamedPeers);
    greetingTimer.start(greetingIntervalMs);
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

void UdpTalker::setNamedPeers(const QList<NamedPeer> &peers, const NameResolver::Lookup &lookup)
{
    if (lookup) {
        resolver = std::make_unique<NameResolver>(nullptr, lookup);
        connect(resolver.get(), &NameResolver::resolved, this, &UdpTalker::Resolver_resolved);
    }
    unicastTargets.setNamed(peers, hostAddresses);
}

void UdpTalker::setQueryTiming(const PeerQueryTiming &timing)
{
    queryTiming = timing;
}

void UdpTalker::setUpdateInterval(int ms)
{
    updateTimer.start(ms);
}

void UdpTalker::setGreetingInterval(int ms)
{
    greetingTimer.start(ms);
}

void UdpTalker::sendHello()
{
    announce(QStringLiteral("HELLO"));
}

void UdpTalker::sendUpdate()
{
    announce(QStringLiteral("UPDATE"));
}

void UdpTalker::sendFarewell()
{
    announce(QStringLiteral("UPDATE"), false);
}

void UdpTalker::sendUpdateTo(QHostAddress address, quint16 port)
{
    send(QStringLiteral("UPDATE"), address, port);
}

void UdpTalker::announce(const QString &method, bool lookUpAgain)
{
    // Port 0 means discovery is off: nothing goes anywhere.
    if (broadcastPort == 0) {
        return;
    }
    if (!broadcastAddress.isNull()) {
        send(method, broadcastAddress, broadcastPort);
    }
    const QList<UnicastTargets::Target> targets = unicastTargets.all(clock.elapsed());
    for (const UnicastTargets::Target &target : targets) {
        send(method, target.address, target.port);
    }
    if (!lookUpAgain) {
        return;
    }
    // For the next round; an address that turns up new is greeted when it does.
    for (const QString &name : unicastTargets.names()) {
        resolver->resolve(name);
    }
}

void UdpTalker::greetSilentNamedPeers()
{
    if (broadcastPort == 0) {
        return;
    }
    const qint64 now = clock.elapsed();
    for (const UnicastTargets::Target &target : unicastTargets.namedTargets()) {
        const auto heard = heardAtMs.constFind(target.address.toString());
        if (heard == heardAtMs.constEnd() || now - *heard >= UnicastTargets::learnedLifetimeMs) {
            send(QStringLiteral("HELLO"), target.address, target.port);
        }
    }
    for (const QString &name : unicastTargets.names()) {
        resolver->resolve(name);
    }
}

void UdpTalker::Resolver_resolved(const QString &name, const QList<QHostAddress> &addresses, const QString &error)
{
    if (!error.isEmpty()) {
        // The addresses of the last good lookup stay: a resolver that fails for a while does not
        // cut the peer off.
        unresolvedNames.warn(name, QStringLiteral("Failed to resolve the peer \"%1\": %2").arg(name, error));
        return;
    }
    // A HELLO, whatever this round was: the peer then asks for our sessions and tells us to ask
    // for its own.
    const QList<UnicastTargets::Target> added = unicastTargets.setResolved(name, addresses, hostAddresses);
    for (const UnicastTargets::Target &target : added) {
        send(QStringLiteral("HELLO"), target.address, target.port);
    }
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
        receive(datagram);
    }
}

void UdpTalker::receive(const QNetworkDatagram &datagram)
{
    const QHostAddress sender = datagram.senderAddress();
    const quint16 senderPort = quint16(datagram.senderPort());
    // Our own broadcasts come back to us, and other servers on this host see our sessions anyway.
    if (hostAddresses.contains(sender)) {
        return;
    }
    Announcement announcement;
    switch (Announcement::read(datagram.data(), announcement)) {
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
    const bool hello = announcement.method == QLatin1String("HELLO");
    if (!hello && announcement.method != QLatin1String("UPDATE")) {
        return;
    }
    // A host that announces itself to us directly may be out of our broadcast's reach: from now
    // on it hears of our changes the same way. One that broadcasts hears our broadcasts.
    const QHostAddress destination = datagram.destinationAddress();
    const bool broadcast = destination.isMulticast()
                           || (!destination.isNull()
                               && (destination == broadcastAddress || hostAddresses.isBroadcast(destination)));
    if (!broadcast) {
        unicastTargets.learn(sender, senderPort, clock.elapsed());
    }
    // Only named hosts are remembered here, so strangers cannot grow the table.
    for (const UnicastTargets::Target &target : unicastTargets.namedTargets()) {
        if (target.address.isEqual(sender, QHostAddress::TolerantConversion)) {
            heardAtMs.insert(target.address.toString(), clock.elapsed());
            break;
        }
    }
    startQuery(sender, announcement.port);
    // The newcomer learns of us at once instead of at our next change or timer.
    if (hello && mayAnswer(sender)) {
        sendUpdateTo(sender, senderPort);
    }
}

void UdpTalker::startQuery(const QHostAddress &address, quint16 port)
{
    const QString key = peerKey(address, port);
    auto running = runningQueries.find(key);
    if (running != runningQueries.end()) {
        // A query that has asked already may have read the peer's list before this change; one
        // that has not will see it (the same announcement often comes twice: broadcast and unicast).
        if (running->asked->load()) {
            running->again = true;
        }
        return;
    }
    if (runningQueries.size() >= queryThreads + waitingQueryLimit) {
        return; // the peer announces itself again at its next change, or within five minutes
    }
    auto *watcher = new QFutureWatcher<PeerAnswer>(this);
    connect(watcher, &QFutureWatcher<PeerAnswer>::finished, this, [this, address, port] { queryFinished(address, port); });
    const auto asked = std::make_shared<std::atomic<bool>>(false);
    runningQueries.insert(key, RunningQuery{watcher, asked, false});
    watcher->setFuture(QtConcurrent::run(&queryPool, [address, port, keyPath = keyPath,
                                                      certificatePath = certificatePath, peers = peers,
                                                      timing = queryTiming, stopping = stopping,
                                                      failures = &queryFailures, asked] {
        if (stopping->load()) {
            return PeerAnswer::NotAsked;
        }
        return queryPeer(address, port, keyPath, certificatePath, peers, timing, failures, asked.get());
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
        // A host that no longer answers leaves the peer table, and so the unicast targets.
        if (query.watcher->result() == PeerAnswer::Failed) {
            unicastTargets.forget(address);
        }
        query.watcher->deleteLater();
    }
    if (query.again) {
        startQuery(address, port);
    }
}

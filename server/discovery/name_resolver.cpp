#include "server/discovery/name_resolver.h"

#include <QMetaObject>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// What a lookup thread shares with the resolver: whether there is still someone to tell.
struct NameResolver::Delivery
{
    std::mutex lock;
    NameResolver *receiver = nullptr;
};

NameResolver::NameResolver(QObject *parent, Lookup lookup)
    : QObject(parent)
    , lookup(lookup ? std::move(lookup) : Lookup(&NameResolver::lookUpIPv4))
    , delivery(std::make_shared<Delivery>())
{
    delivery->receiver = this;
}

NameResolver::~NameResolver()
{
    std::lock_guard<std::mutex> locker(delivery->lock);
    delivery->receiver = nullptr;
}

void NameResolver::resolve(const QString &name)
{
    if (isBusy(name)) {
        return;
    }
    waiting << name;
    startWaiting();
}

bool NameResolver::isBusy(const QString &name) const
{
    return running.contains(name) || waiting.contains(name);
}

void NameResolver::startWaiting()
{
    while (running.size() < lookupThreads && !waiting.isEmpty()) {
        const QString name = waiting.takeFirst();
        running.insert(name);
        try {
            std::thread([delivery = delivery, lookup = lookup, name] {
                const Answer answer = lookup(name);
                // Under the lock, the receiver cannot go while the answer is posted to it; once
                // posted, Qt drops it if the receiver goes before it is delivered.
                std::lock_guard<std::mutex> locker(delivery->lock);
                if (NameResolver *receiver = delivery->receiver) {
                    QMetaObject::invokeMethod(receiver, [receiver, name, answer] { receiver->finished(name, answer); },
                                              Qt::QueuedConnection);
                }
            }).detach();
        } catch (const std::system_error &failure) {
            running.remove(name);
            const Answer answer{{}, QStringLiteral("Cannot start a lookup: %1").arg(QString::fromLocal8Bit(failure.what()))};
            QMetaObject::invokeMethod(this, [this, name, answer] { emit resolved(name, answer.addresses, answer.error); },
                                      Qt::QueuedConnection);
            return;
        }
    }
}

void NameResolver::finished(const QString &name, const Answer &answer)
{
    running.remove(name);
    startWaiting();
    emit resolved(name, answer.addresses, answer.error);
}

NameResolver::Answer NameResolver::lookUpIPv4(const QString &name)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address instead of one per socket type
    addrinfo *found = nullptr;
    const int status = ::getaddrinfo(name.toUtf8().constData(), nullptr, &hints, &found);
    Answer answer;
    if (status != 0) {
        answer.error = status == EAI_SYSTEM ? QString::fromLocal8Bit(std::strerror(errno))
                                            : QString::fromLocal8Bit(::gai_strerror(status));
        return answer;
    }
    for (const addrinfo *entry = found; entry && answer.addresses.size() < addressLimit; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            const QHostAddress address(entry->ai_addr);
            if (!answer.addresses.contains(address)) {
                answer.addresses << address;
            }
        }
    }
    ::freeaddrinfo(found);
    if (answer.addresses.isEmpty()) {
        answer.error = QStringLiteral("No IPv4 address");
    }
    return answer;
}

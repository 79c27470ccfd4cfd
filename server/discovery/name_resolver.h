#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Looks up the IPv4 addresses of host names without ever making its caller wait: each lookup runs on
// a thread of its own, and its answer comes back as `resolved` on the thread the resolver lives in.
// A lookup cannot be cancelled (the system resolver may take many seconds to give up), so threads
// are detached: destroying the resolver never waits, and an answer that comes after it is dropped.
//
// Bounded: one lookup per name at a time (asking again meanwhile is a no-op), at most
// `lookupThreads` at once, the others waiting in order.
class NameResolver : public QObject
{
    Q_OBJECT

public:
    static constexpr int lookupThreads = 4;
    // At most this many addresses of one name are kept.
    static constexpr int addressLimit = 8;

    struct Answer
    {
        QList<QHostAddress> addresses; // empty on failure
        QString error;                 // why there are none
    };
    using Lookup = std::function<Answer(const QString &name)>;

    // `lookup` replaces the system resolver (tests); it runs on the lookup threads and may outlive
    // the resolver, so it must own whatever it uses.
    explicit NameResolver(QObject *parent = nullptr, Lookup lookup = {});
    ~NameResolver() override;

    void resolve(const QString &name);
    bool isBusy(const QString &name) const;

    // The system resolver, IPv4 only.
    static Answer lookUpIPv4(const QString &name);

signals:
    void resolved(const QString &name, const QList<QHostAddress> &addresses, const QString &error);

private:
    struct Delivery;

    void startWaiting();
    void finished(const QString &name, const Answer &answer);

    Lookup lookup;
    std::shared_ptr<Delivery> delivery;
    QSet<QString> running;
    QStringList waiting;
};

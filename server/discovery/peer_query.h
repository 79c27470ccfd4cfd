#pragma once

#include "common/session_record.h"

#include <QDateTime>
#include <QHostAddress>
#include <QString>

#include <atomic>
#include <functional>

class QSslCertificate;
class QSslKey;
class PeerTable;
class ThrottledLog;

// A peer's whole exchange (connect, handshake, request, answer) must fit in this budget, so that a
// slow or silent peer holds a query thread for a bounded time only.
constexpr int peerQueryBudgetMs = 5000;
// A peer's entry outlives its five-minute announcement cycle by a margin.
constexpr int peerEntryLifetimeSeconds = 400;

// Time limits of one query; tests shorten the budget and move the clock.
struct PeerQueryTiming
{
    int budgetMs = peerQueryBudgetMs;
    // The time the entry's expiry is counted from.
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
};

enum class PeerAnswer {
    Sessions,   // the peer's own session list
    Failed,     // the peer cannot be reached or trusted, or it reported an error: forget it
    Unreadable, // a value that must be text is a number, array or object: keep the old entry
    NotAsked,   // our own key or certificate could not be read: the peer was not asked
};

// The name of a peer in the peer table: address and TLS port.
QString peerKey(const QHostAddress &address, quint16 port);

// Asks the peer for its own sessions over TLS, presenting our key and certificate and accepting
// only a peer that presents the same certificate. `sessions` is filled for Sessions, `error` for
// Failed. `requestWritten`, when given, is set just before the request goes out: from then on a
// change of the peer's list may be missing from the answer.
PeerAnswer fetchPeerSessions(const QHostAddress &address, quint16 port, const QSslKey &privateKey,
                             const QSslCertificate &certificate, SessionRecordList &sessions, QString &error,
                             int budgetMs = peerQueryBudgetMs, std::atomic<bool> *requestWritten = nullptr);

// Runs one whole query and records its outcome in the peer table; failures are logged,
// through `failures` when given (which keeps a peer that fails again and again to a line a minute).
// Meant for a pool thread.
PeerAnswer queryPeer(const QHostAddress &address, quint16 port, const QString &keyPath, const QString &certificatePath,
                     PeerTable *peers, const PeerQueryTiming &timing = PeerQueryTiming(),
                     ThrottledLog *failures = nullptr, std::atomic<bool> *requestWritten = nullptr);

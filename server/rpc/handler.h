#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class Dispatcher;
class QIODevice;

// Serves one client connection: cuts NetString frames out of the received bytes, has the server's
// dispatcher answer each JSON-RPC request or batch on the global thread pool (one at a time per
// connection) and writes the framed answer back on the main thread.
//
// Nothing is written to a TLS connection before the server has checked the client's certificate:
// output produced earlier is held back until then, and dropped if the connection does not survive
// the check.
//
// A client that does not read its answers is not served faster than it reads: while its unsent
// output is above a bound, the handler takes no further request from it, and goes on once the
// output has drained. Output keeps coming all the same (notifications), so a client whose unsent
// output passes a hard cap is disconnected with a Warning.
class Handler : public QObject
{
    Q_OBJECT

public:
    // Neither is owned: the handler is meant to be the device's child and to die with it, and the
    // dispatcher outlives every connection.
    Handler(QIODevice *device, const Dispatcher *dispatcher, QObject *parent = nullptr);
    // Waits for a request still running; its answer is not written. A handler whose client
    // disconnects while a request runs does not wait: it leaves the connection (moving to the
    // connection's parent) and deletes itself once the request has finished.
    ~Handler() override;

    // Output held back for a connection that has not been verified yet may not grow past this.
    static constexpr int heldOutputLimit = 1048576;
    // No request is taken while more output than this waits to be sent.
    static constexpr qint64 unsentOutputBound = 1048576;
    // A client that leaves more than this unsent is disconnected.
    static constexpr qint64 unsentOutputCap = 16 * 1048576;

public slots:
    // Writes a complete frame (responses and notifications alike) in one write.
    void writeToDevice(QByteArray msg);

private slots:
    void Device_readyRead();
    void Device_bytesWritten();
    void Device_disconnected();
    void Watcher_finished();
    void Socket_encrypted();

private:
    void releaseHeldOutput();
    // Output written (or held back) but not yet handed to the network.
    qint64 unsentBytes() const;
    void disconnectSlowReader(qint64 unsent);

    QPointer<QIODevice> device;
    QByteArray buffer;
    QFutureWatcher<QByteArray> *watcher;
    const Dispatcher *dispatcher;
    bool requestInFlight = false;
    bool readingPaused = false; // for want of room in the output
    bool leftConnection = false; // outlives its connection until the running request ends
    bool outputAllowed = true;
    QList<QByteArray> heldOutput;
    qint64 heldBytes = 0;
};

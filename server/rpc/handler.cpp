#include "server/rpc/handler.h"

#include "common/logging.h"
#include "common/netstring.h"
#include "server/process/idle_exit.h"
#include "server/rpc/dispatcher.h"

#include <QAbstractSocket>
#include <QIODevice>
#include <QSslSocket>
#include <QThreadPool>
#include <QtConcurrent>

Handler::Handler(QIODevice *device, const Dispatcher *dispatcher, QObject *parent)
    : QObject(parent)
    , device(device)
    , watcher(new QFutureWatcher<QByteArray>(this))
    , dispatcher(dispatcher)
{
    connect(device, &QIODevice::readyRead, this, &Handler::Device_readyRead);
    connect(device, &QIODevice::bytesWritten, this, &Handler::Device_bytesWritten);
    if (auto *socket = qobject_cast<QSslSocket *>(device)) {
        connect(socket, &QSslSocket::encryptedBytesWritten, this, &Handler::Device_bytesWritten);
    }
    if (auto *socket = qobject_cast<QAbstractSocket *>(device)) {
        connect(socket, &QAbstractSocket::disconnected, this, &Handler::Device_disconnected);
    }
    connect(watcher, &QFutureWatcherBase::finished, this, &Handler::Watcher_finished);

    // The server checks the client's certificate in a slot connected to encrypted() before this
    // handler existed, so by the time Socket_encrypted runs an unverified socket has already been
    // aborted.
    if (auto *socket = qobject_cast<QSslSocket *>(device); socket && !socket->isEncrypted()) {
        outputAllowed = false;
        connect(socket, &QSslSocket::encrypted, this, &Handler::Socket_encrypted);
    }

    idleExitClientAdded();
}

Handler::~Handler()
{
    watcher->disconnect(this);
    watcher->waitForFinished();
    idleExitClientRemoved();
}

void Handler::writeToDevice(QByteArray msg)
{
    if (msg.isEmpty() || !device) {
        return;
    }
    if (!outputAllowed) {
        heldOutput.append(msg);
        heldBytes += msg.size();
        // A peer that never finishes its handshake must not make the server hoard its updates.
        if (heldBytes > heldOutputLimit) {
            heldOutput.clear();
            heldBytes = 0;
            device->close();
        }
        return;
    }
    // A connection that went away while the answer was computed loses it without notice.
    if (!device->isWritable()) {
        return;
    }
    const qint64 unsent = unsentBytes() + msg.size();
    if (unsent > unsentOutputCap) {
        disconnectSlowReader(unsent);
        return;
    }
    device->write(msg);
}

qint64 Handler::unsentBytes() const
{
    if (!device) {
        return 0;
    }
    qint64 unsent = heldBytes + device->bytesToWrite();
    // Once encrypted, a TLS socket passes its output on to the network in a buffer of its own.
    if (auto *socket = qobject_cast<QSslSocket *>(device); socket && socket->isEncrypted()) {
        unsent += socket->encryptedBytesToWrite();
    }
    return unsent;
}

void Handler::disconnectSlowReader(qint64 unsent)
{
    auto *socket = qobject_cast<QAbstractSocket *>(device);
    const QString peer = socket ? socket->peerAddress().toString() : QString();
    const quint16 port = socket ? socket->peerPort() : 0;
    logMessage(Logging::Warning,
               QStringLiteral("Disconnecting the client from \"%1\" port \"%2\": it leaves %3 bytes of output unread")
                   .arg(peer)
                   .arg(port)
                   .arg(unsent));
    // Whatever is queued would never be read: drop it rather than wait to flush it.
    if (socket) {
        socket->abort();
    } else {
        device->close();
    }
}

void Handler::Device_bytesWritten()
{
    if (readingPaused && unsentBytes() <= unsentOutputBound) {
        readingPaused = false;
        Device_readyRead();
    }
}

void Handler::Device_disconnected()
{
    // The connection is deleted soon, and with it its children. A request may still be waiting for
    // an agent for many seconds: rather than have the main thread wait for it, the handler stays
    // until it ends and then drops the answer.
    if (requestInFlight && !leftConnection) {
        leftConnection = true;
        setParent(device->parent());
    }
}

void Handler::Socket_encrypted()
{
    auto *socket = qobject_cast<QSslSocket *>(device);
    if (socket && socket->state() == QAbstractSocket::ConnectedState) {
        releaseHeldOutput();
    } else {
        heldOutput.clear();
        heldBytes = 0;
    }
}

void Handler::releaseHeldOutput()
{
    outputAllowed = true;
    const QList<QByteArray> frames = heldOutput;
    heldOutput.clear();
    heldBytes = 0;
    for (const QByteArray &held : frames) {
        writeToDevice(held);
    }
}

void Handler::Device_readyRead()
{
    // One request at a time: later frames wait in the buffer or in the socket, whose read buffer is
    // bounded, until the current answer has been written.
    if (requestInFlight || !device) {
        return;
    }
    // A client that does not read its answers gets no new ones until they have left.
    if (unsentBytes() > unsentOutputBound) {
        readingPaused = true;
        return;
    }

    QByteArray message;
    QString error;
    int outcome = decodeNetString(buffer, message, error);
    // Reading only when no whole frame is buffered keeps a fast sender's backlog in the socket.
    if (outcome == 1 && device->isReadable()) {
        buffer += device->readAll();
        outcome = decodeNetString(buffer, message, error);
    }
    if (outcome < 0) {
        logMessage(Logging::Warning, error);
        device->close();
        return;
    }
    if (outcome == 1) {
        return;
    }

    requestInFlight = true;
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [dispatcher = dispatcher, message] {
        return dispatcher->processMessage(message);
    }));
}

void Handler::Watcher_finished()
{
    if (leftConnection) {
        deleteLater();
        return;
    }
    const QByteArray response = watcher->result();
    writeToDevice(response);
    requestInFlight = false;
    Device_readyRead();
}

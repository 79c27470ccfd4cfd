#include "sci/rx_relay.h"

#include "common/logging.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

int addNonBlocking(int descriptor)
{
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0) {
        ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
    }
    return flags;
}

// Waits until a file destination can take bytes; other devices (sockets buffer every write
// themselves) are taken as ready.
bool waitUntilWritable(QIODevice *device, int timeoutMs)
{
    const auto *file = qobject_cast<QFileDevice *>(device);
    if (!file || file->handle() < 0) {
        return true;
    }
    pollfd watched = {file->handle(), POLLOUT, 0};
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int ready = ::poll(&watched, 1, int(qMax<qint64>(0, timeoutMs - timer.elapsed())));
        if (ready >= 0 || errno != EINTR) {
            // An error or hang-up counts as writable: the write then reports it.
            return ready != 0;
        }
    }
}

} // namespace

RxRelay::RxRelay(QSslSocket *serverSocket, QObject *parent)
    : QObject(parent)
    , socket(serverSocket)
{
    // A read must never stall the event loop, and a client that stops reading must not block a
    // write for good, so that a stalled client can be noticed.
    savedInFlags = addNonBlocking(STDIN_FILENO);
    savedOutFlags = addNonBlocking(STDOUT_FILENO);
    // Bytes in stdio's own buffers are invisible to the readiness notifier and would wait there
    // until more input arrived.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    inDevice = new QFile(this);
    inDevice->open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered);
    inWatcher = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(inWatcher, &QSocketNotifier::activated, this, &RxRelay::InWatcher_activated);
    outDevice = new QFile(this);
    outDevice->open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);

    connect(socket, &QSslSocket::disconnected, this, &RxRelay::Socket_disconnected);
    connect(socket, &QSslSocket::readyRead, this, &RxRelay::Socket_readyRead);
    // Data that arrived with the handshake was announced before anyone listened.
    QMetaObject::invokeMethod(this, &RxRelay::Socket_readyRead, Qt::QueuedConnection);
}

RxRelay::~RxRelay()
{
    restoreDescriptorFlags();
}

RxRelay::TransferResult RxRelay::transferBytes(QIODevice *source, QIODevice *destination, QString &error,
                                               int stallMs)
{
    char buffer[chunkSize];
    errno = 0;
    const qint64 got = source->read(buffer, chunkSize);
    if (got < 0) {
        if (wouldBlock(errno)) {
            return TransferResult::Done;
        }
        error = source->errorString();
        return TransferResult::Failed;
    }

    QElapsedTimer idle;
    idle.start();
    qint64 offset = 0;
    while (offset < got) {
        if (!waitUntilWritable(destination, int(qMax<qint64>(0, stallMs - idle.elapsed())))) {
            error = QStringLiteral("No bytes were accepted for %1 s").arg(stallMs / 1000.0);
            return TransferResult::Stalled;
        }
        errno = 0;
        const qint64 written = destination->write(buffer + offset, got - offset);
        if (written < 0 && !wouldBlock(errno)) {
            error = destination->errorString();
            return TransferResult::Failed;
        }
        if (written > 0) {
            offset += written;
            idle.restart();
        } else if (idle.elapsed() >= stallMs) {
            error = QStringLiteral("No bytes were accepted for %1 s").arg(stallMs / 1000.0);
            return TransferResult::Stalled;
        } else {
            // A device that took nothing although it looked ready: retry at a gentle pace.
            QThread::msleep(ulong(qMin<qint64>(10, stallMs - idle.elapsed())));
        }
    }
    return TransferResult::Done;
}

void RxRelay::InWatcher_activated()
{
    inWatcher->setEnabled(false);
    QString error;
    switch (transferBytes(inDevice, socket, error)) {
    case TransferResult::Done:
        socket->flush();
        break;
    case TransferResult::Failed:
        logMessage(Logging::Warning, QStringLiteral("Failed to transfer bytes to the server: ") + error);
        break;
    case TransferResult::Stalled:
        stopOnStall(QStringLiteral("Failed to transfer bytes to the server: ") + error);
        return;
    }
    inWatcher->setEnabled(true);

    if (std::feof(stdin)) {
        // Nothing more will come; an input at its end would keep the watcher firing.
        inWatcher->setEnabled(false);
        logMessage(Logging::Info, QStringLiteral("Connection from the client has closed"));
        QCoreApplication::quit();
        if (qEnvironmentVariableIsSet("RX_FORCE_EXIT")) {
            restoreDescriptorFlags();
            ::_exit(0);
        }
    }
}

void RxRelay::Socket_disconnected()
{
    // Whatever the server sent last must still reach the client.
    Socket_readyRead();
    logMessage(Logging::Info, QStringLiteral("Connection to the server closed"));
    QCoreApplication::quit();
}

void RxRelay::Socket_readyRead()
{
    // The socket announces decrypted data only when more arrives from the network, so everything it
    // already holds is moved now.
    while (socket->bytesAvailable() > 0) {
        const qint64 before = socket->bytesAvailable();
        QString error;
        switch (transferBytes(socket, outDevice, error)) {
        case TransferResult::Done:
            outDevice->flush();
            break;
        case TransferResult::Failed:
            logMessage(Logging::Warning, QStringLiteral("Failed to transfer bytes to the client: ") + error);
            return;
        case TransferResult::Stalled:
            stopOnStall(QStringLiteral("Failed to transfer bytes to the client: ") + error);
            return;
        }
        if (socket->bytesAvailable() >= before) {
            return;
        }
    }
}

void RxRelay::restoreDescriptorFlags()
{
    // A terminal shared with the shell must not stay non-blocking after the relay. Standard output
    // first: when both share one open file, the input's original flags win.
    if (savedOutFlags >= 0) {
        ::fcntl(STDOUT_FILENO, F_SETFL, savedOutFlags);
    }
    if (savedInFlags >= 0) {
        ::fcntl(STDIN_FILENO, F_SETFL, savedInFlags);
    }
}

void RxRelay::stopOnStall(const QString &message)
{
    logMessage(Logging::Critical, message);
    inWatcher->setEnabled(false);
    socket->disconnect(this);
    QCoreApplication::exit(1);
}

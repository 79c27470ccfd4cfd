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

// The descriptor of a file device, which is read and polled directly; -1 for other devices.
int descriptorOf(QIODevice *device)
{
    const auto *file = qobject_cast<QFileDevice *>(device);
    return file ? file->handle() : -1;
}

// One read of at most `size` bytes. A file device is read with one system call on its descriptor:
// its own read would try again until the whole size came, one failing call more on every transfer.
qint64 readOnce(QIODevice *source, char *buffer, qint64 size, bool &ended, QString &error)
{
    ended = false;
    const int descriptor = descriptorOf(source);
    if (descriptor < 0) {
        errno = 0;
        const qint64 got = source->read(buffer, size);
        if (got < 0 && !wouldBlock(errno)) {
            error = source->errorString();
        }
        return got;
    }
    ssize_t got;
    do {
        got = ::read(descriptor, buffer, size_t(size));
    } while (got < 0 && errno == EINTR);
    if (got < 0 && !wouldBlock(errno)) {
        error = qt_error_string(errno);
    }
    ended = got == 0;
    return got;
}

// Waits until a file destination can take bytes again; other devices (sockets buffer every write
// themselves) are taken as ready.
bool waitUntilWritable(QIODevice *device, int timeoutMs)
{
    const int descriptor = descriptorOf(device);
    if (descriptor < 0) {
        return true;
    }
    pollfd watched = {descriptor, POLLOUT, 0};
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
                                               int stallMs, bool *sourceEnded)
{
    static thread_local char buffer[chunkSize];
    bool ended = false;
    const qint64 got = readOnce(source, buffer, chunkSize, ended, error);
    if (sourceEnded) {
        *sourceEnded = ended;
    }
    if (got < 0) {
        return error.isEmpty() ? TransferResult::Done : TransferResult::Failed;
    }

    // Written at once; only a destination that takes nothing more is waited for.
    QElapsedTimer idle;
    idle.start();
    qint64 offset = 0;
    while (offset < got) {
        errno = 0;
        const qint64 written = destination->write(buffer + offset, got - offset);
        if (written < 0 && !wouldBlock(errno)) {
            error = destination->errorString();
            return TransferResult::Failed;
        }
        if (written > 0) {
            offset += written;
            idle.restart();
            continue;
        }
        const qint64 left = stallMs - idle.elapsed();
        if (left <= 0 || !waitUntilWritable(destination, int(left))) {
            error = QStringLiteral("No bytes were accepted for %1 s").arg(stallMs / 1000.0);
            return TransferResult::Stalled;
        }
        if (descriptorOf(destination) < 0) {
            // A device that took nothing and cannot be waited on: retry at a gentle pace.
            QThread::msleep(ulong(qMin<qint64>(10, left)));
        }
    }
    return TransferResult::Done;
}

void RxRelay::InWatcher_activated()
{
    // Nothing in here returns to the event loop, so the watcher cannot fire again before the
    // transfer and its flush are done: it stays enabled.
    QString error;
    bool ended = false;
    switch (transferBytes(inDevice, socket, error, stallLimitMs, &ended)) {
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

    if (ended) {
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

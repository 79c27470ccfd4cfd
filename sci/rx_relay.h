#pragma once

#include <QObject>

class QFile;
class QIODevice;
class QSocketNotifier;
class QSslSocket;

// The relay's byte pump: standard input to the server, the server to standard output, unchanged,
// until either side closes.
class RxRelay : public QObject
{
    Q_OBJECT

public:
    enum class TransferResult { Done, Failed, Stalled };

    // What one transfer reads at most: as much as a pipe holds, so that one read takes everything a
    // client has written so far.
    static constexpr qint64 chunkSize = 65536;
    static constexpr int stallLimitMs = 10000;

    // The socket must outlive the relay.
    RxRelay(QSslSocket *socket, QObject *parent = nullptr);
    ~RxRelay() override;

    // Moves one chunk of at most chunkSize bytes, read with a single read, wholly into the
    // destination, writing straight from the buffer it was read into. Nothing to read (end of input,
    // or a descriptor with no data yet) is Done with nothing written; `sourceEnded`, when given,
    // tells the end of input apart. A destination that accepts no byte for stallMs is Stalled.
    static TransferResult transferBytes(QIODevice *source, QIODevice *destination, QString &error,
                                        int stallMs = stallLimitMs, bool *sourceEnded = nullptr);

private slots:
    void InWatcher_activated();
    void Socket_disconnected();
    void Socket_readyRead();

private:
    void restoreDescriptorFlags();
    void stopOnStall(const QString &message);

    QFile *inDevice = nullptr;
    QSocketNotifier *inWatcher = nullptr;
    QFile *outDevice = nullptr;
    QSslSocket *socket = nullptr;
    int savedInFlags = -1;
    int savedOutFlags = -1;
};

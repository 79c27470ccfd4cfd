#include "sci/rx_relay.h"
#include "sci/server_connection.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = char(i * 7 + i / 251);
    }
    return bytes;
}

// Both ends of a non-blocking pipe as devices, the way the relay sees its standard input (a stdio
// stream) and output.
struct Pipe
{
    Pipe()
    {
        if (::pipe2(ends, O_NONBLOCK) == 0) {
            readStream = ::fdopen(ends[0], "r");
            std::setvbuf(readStream, nullptr, _IONBF, 0);
            reader.open(readStream, QIODevice::ReadOnly | QIODevice::Unbuffered);
            writer.open(ends[1], QIODevice::WriteOnly | QIODevice::Unbuffered);
        }
    }
    ~Pipe()
    {
        closeWriter();
        reader.close();
        std::fclose(readStream);
    }
    void closeWriter()
    {
        if (ends[1] >= 0) {
            writer.close();
            ::close(ends[1]);
            ends[1] = -1;
        }
    }
    // Fills the pipe until it takes no more.
    void fill()
    {
        const QByteArray block(4096, 'x');
        while (::write(ends[1], block.constData(), size_t(block.size())) > 0) {
        }
    }
    int ends[2] = {-1, -1};
    FILE *readStream = nullptr;
    QFile reader;
    QFile writer;
};

} // namespace

class TestSciPump : public QObject
{
    Q_OBJECT

private slots:
    void movesOneChunkPerTransferInOrder()
    {
        Pipe input;
        const int chunk = int(RxRelay::chunkSize);
        QVERIFY(::fcntl(input.ends[1], F_SETPIPE_SZ, 4 * chunk) >= 4 * chunk);
        const QByteArray data = pattern(2 * chunk + 7000);
        QCOMPARE(::write(input.ends[1], data.constData(), size_t(data.size())), ssize_t(data.size()));
        QBuffer output;
        output.open(QIODevice::WriteOnly);
        QString error;
        bool ended = true;
        for (const int total : {chunk, 2 * chunk, 2 * chunk + 7000}) {
            QCOMPARE(RxRelay::transferBytes(&input.reader, &output, error, 1000, &ended), RxRelay::TransferResult::Done);
            QCOMPARE(output.data().size(), total);
            QVERIFY(!ended);
        }
        QCOMPARE(output.data(), data);

        // Nothing waiting, then end of input: both are quiet successes that write nothing; only the
        // second is the end.
        QCOMPARE(RxRelay::transferBytes(&input.reader, &output, error, 1000, &ended), RxRelay::TransferResult::Done);
        QVERIFY(!ended);
        input.closeWriter();
        QCOMPARE(RxRelay::transferBytes(&input.reader, &output, error, 1000, &ended), RxRelay::TransferResult::Done);
        QVERIFY(ended);
        QCOMPARE(output.data(), data);
        QVERIFY(error.isEmpty());
    }

    void slowDestinationGetsEveryByte()
    {
        // A reader that starts on the full pipe only after a while and then takes little at a time:
        // partial writes must neither lose nor repeat bytes, and a pause shorter than the limit is
        // no stall.
        Pipe output;
        output.fill();
        QByteArray drained;
        std::thread reader([&] {
            QThread::msleep(300);
            char buffer[1000];
            for (int idle = 0; idle < 50;) {
                const ssize_t got = ::read(output.ends[0], buffer, sizeof buffer);
                if (got > 0) {
                    drained.append(buffer, int(got));
                    idle = 0;
                    QThread::msleep(1);
                } else {
                    ++idle;
                    QThread::msleep(10);
                }
            }
        });
        const QByteArray data = pattern(int(RxRelay::chunkSize));
        QBuffer input;
        input.setData(data);
        input.open(QIODevice::ReadOnly);
        QString error;
        const auto result = RxRelay::transferBytes(&input, &output.writer, error, 2000);
        reader.join();
        QCOMPARE(result, RxRelay::TransferResult::Done);
        QVERIFY(drained.size() > data.size());
        QCOMPARE(drained.right(data.size()), data);
    }

    void destinationThatTakesNothingStalls()
    {
        Pipe output;
        output.fill();
        QBuffer input;
        input.setData(pattern(100));
        input.open(QIODevice::ReadOnly);
        QString error;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(RxRelay::transferBytes(&input, &output.writer, error, 300), RxRelay::TransferResult::Stalled);
        QVERIFY2(timer.elapsed() >= 290 && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(error, QStringLiteral("No bytes were accepted for 0.3 s"));
    }

    void failedWriteReportsTheDestinationsError()
    {
        QFile full(QStringLiteral("/dev/full"));
        QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QBuffer input;
        input.setData("abc");
        input.open(QIODevice::ReadOnly);
        QString error;
        QCOMPARE(RxRelay::transferBytes(&input, &full, error), RxRelay::TransferResult::Failed);
        QCOMPARE(error, full.errorString());
        QVERIFY(!error.isEmpty());
    }

    void readsThePortFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << QByteArray("41234") << 41234;
        QTest::newRow("white space first") << QByteArray(" \n\t 8080") << 8080;
        QTest::newRow("stops at non-digit") << QByteArray("4711abc 9") << 4711;
        QTest::newRow("leading zero is decimal") << QByteArray("0100") << 100;
        QTest::newRow("largest") << QByteArray("65535") << 65535;
        QTest::newRow("empty") << QByteArray() << -1;
        QTest::newRow("no digits") << QByteArray("port") << -1;
        QTest::newRow("sign") << QByteArray("-1") << -1;
        QTest::newRow("out of range") << QByteArray("65536") << -1;
        QTest::newRow("far out of range") << QByteArray("99999999999999999999") << -1;
    }

    void readsThePortFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("server_port"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        quint16 read = 0;
        QString error;
        const bool ok = readPortFile(path, read, error);
        if (port >= 0) {
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(int(read), port);
        } else {
            QVERIFY(!ok);
            QVERIFY2(error.startsWith(QStringLiteral("Failed to read from the file \"%1\": ").arg(path)),
                     qPrintable(error));
            QCOMPARE(read, quint16(0));
        }
    }

    void missingPortFileIsAnOpenError()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("server_port"));
        quint16 port = 7;
        QString error;
        QVERIFY(!readPortFile(path, port, error));
        QCOMPARE(error, QStringLiteral("Failed to open the file \"%1\": No such file or directory").arg(path));
        QCOMPARE(port, quint16(7));

        // A FIFO in its place is refused at once instead of stalling the relay.
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QVERIFY(!readPortFile(path, port, error));
        QCOMPARE(error, QStringLiteral("Failed to open the file \"%1\": Not a regular file").arg(path));
    }
};

QTEST_GUILESS_MAIN(TestSciPump)
#include "tst_sci_pump.moc"

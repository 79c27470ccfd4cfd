// Cutting NetString frames out of a receive buffer, and framing payloads.

#include "common/netstring.h"

#include <QtTest>

class NetStringTest : public QObject
{
    Q_OBJECT

private slots:
    void decodesOneFrameAndKeepsTheRest_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("rest");
        QTest::newRow("empty payload") << QByteArray("0:,") << QByteArray() << QByteArray();
        QTest::newRow("colons and commas inside") << QByteArray("5:a:b,c,") << QByteArray("a:b,c") << QByteArray();
        QTest::newRow("only the first of two") << QByteArray("5:hello,5:world,") << QByteArray("hello")
                                               << QByteArray("5:world,");
        QTest::newRow("binary payload") << QByteArray("3:\0\xff\n,", 6) << QByteArray("\0\xff\n", 3) << QByteArray();
        const QByteArray largest(netStringPayloadLimit, 'x');
        QTest::newRow("largest payload") << QByteArray("65536:" + largest + ",") << largest << QByteArray();
    }

    void decodesOneFrameAndKeepsTheRest()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, rest);
        QByteArray buffer = input;
        QByteArray message("stale");
        QString error;
        QCOMPARE(decodeNetString(buffer, message, error), 0);
        QCOMPARE(message, payload);
        QCOMPARE(buffer, rest);
        QVERIFY(error.isEmpty());
    }

    void waitsForTheRestOfAFrame_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("five digits, no colon") << QByteArray("12345");
        QTest::newRow("prefix only") << QByteArray("3:");
        QTest::newRow("payload without comma") << QByteArray("3:abc");
        QTest::newRow("largest prefix") << QByteArray("65536:");
    }

    void waitsForTheRestOfAFrame()
    {
        QFETCH(QByteArray, input);
        QByteArray buffer = input;
        QByteArray message("untouched");
        QString error;
        QCOMPARE(decodeNetString(buffer, message, error), 1);
        QCOMPARE(buffer, input);
        QCOMPARE(message, QByteArray("untouched"));
    }

    // A broken stream is refused as early as possible and leaves everything as it was, so that a
    // second attempt fails the same way.
    void refusesBrokenFrames_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        const QString length = QStringLiteral("Invalid NetString length");
        QTest::newRow("six bytes, no colon") << QByteArray("123456") << length;
        QTest::newRow("announces one byte too many") << QByteArray("65537:") << length;
        QTest::newRow("huge number") << QByteArray("99999999999999999999:") << length;
        QTest::newRow("letters") << QByteArray("abc:x,") << length;
        QTest::newRow("minus sign") << QByteArray("-1:,") << length;
        QTest::newRow("plus sign") << QByteArray("+1:x,") << length;
        QTest::newRow("space before digits") << QByteArray(" 1:x,") << length;
        QTest::newRow("empty prefix") << QByteArray(":,") << length;
        QTest::newRow("leading zeros") << QByteArray("007:abcdefg,x") << length;
        QTest::newRow("zeros before an empty payload") << QByteArray("000000:,") << length;
        QTest::newRow("two zeros") << QByteArray("00:,") << length;
        QTest::newRow("byte after payload is no comma") << QByteArray("3:abcd") << QStringLiteral("Missing NetString comma");
        QTest::newRow("empty payload without comma") << QByteArray("0:x") << QStringLiteral("Missing NetString comma");
    }

    void refusesBrokenFrames()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QByteArray buffer = input;
        QByteArray message("untouched");
        for (int attempt = 0; attempt < 2; ++attempt) {
            QString error;
            QCOMPARE(decodeNetString(buffer, message, error), -1);
            QCOMPARE(error, expected);
            QCOMPARE(buffer, input);
            QCOMPARE(message, QByteArray("untouched"));
        }
    }

    // However the stream is cut into reads, the receiver gets the same frames and the same error.
    void framesDoNotDependOnTheChunking_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::newRow("valid frames") << QByteArray("0:,5:hello,10:0123456789,3:a,b,");
        QTest::newRow("zeros before an empty payload") << QByteArray("5:hello,000000:,");
        QTest::newRow("leading zero") << QByteArray("5:hello,05:hello,");
        QTest::newRow("missing comma") << QByteArray("5:hello,2:abc");
    }

    void framesDoNotDependOnTheChunking()
    {
        QFETCH(QByteArray, stream);
        const auto receive = [](const QByteArray &data, int chunk) {
            QByteArray buffer;
            QByteArray message;
            QString error;
            QList<QByteArray> frames;
            for (qsizetype at = 0; at < data.size() && error.isEmpty(); at += chunk) {
                buffer += data.mid(at, chunk);
                while (decodeNetString(buffer, message, error) == 0) {
                    frames << message;
                }
            }
            return std::make_pair(frames, error);
        };
        const auto whole = receive(stream, int(stream.size()));
        for (int chunk = 1; chunk < stream.size(); ++chunk) {
            QCOMPARE(receive(stream, chunk), whole);
        }
    }

    void decodesFramesOneAfterAnother()
    {
        QByteArray buffer("5:hello,5:world,");
        QByteArray message;
        QString error;
        QCOMPARE(decodeNetString(buffer, message, error), 0);
        QCOMPARE(message, QByteArray("hello"));
        QCOMPARE(decodeNetString(buffer, message, error), 0);
        QCOMPARE(message, QByteArray("world"));
        QCOMPARE(decodeNetString(buffer, message, error), 1);
        QVERIFY(buffer.isEmpty());
    }

    void encodedFramesDecodeToThePayload_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("empty") << QByteArray() << QByteArray("0:,");
        QTest::newRow("json line") << QByteArray("{\"a\":1}\n") << QByteArray("8:{\"a\":1}\n,");
        QTest::newRow("ten bytes") << QByteArray("0123456789") << QByteArray("10:0123456789,");
    }

    void encodedFramesDecodeToThePayload()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        QCOMPARE(encodeNetString(payload), frame);
        QByteArray buffer = frame;
        QByteArray message;
        QString error;
        QCOMPARE(decodeNetString(buffer, message, error), 0);
        QCOMPARE(message, payload);
    }

    // Responses are framed whatever their size, even beyond what a receiver takes.
    void encodesOversizedPayloads()
    {
        const QByteArray frame = encodeNetString(QByteArray(70000, 'y'));
        QVERIFY(frame.startsWith("70000:yyy"));
        QVERIFY(frame.endsWith("y,"));
        QCOMPARE(frame.size(), 70000 + 7);
        QByteArray buffer = frame;
        QByteArray message;
        QString error;
        QCOMPARE(decodeNetString(buffer, message, error), -1);
        QCOMPARE(error, QStringLiteral("Invalid NetString length"));

        // A reader of answers passes a larger limit, under which a longer prefix may be on its way.
        const int answerLimit = netStringAnswerLimit;
        QCOMPARE(decodeNetString(buffer, message, error, answerLimit), 0);
        QCOMPARE(message, QByteArray(70000, 'y'));
        QByteArray eightDigits("12345678");
        QCOMPARE(decodeNetString(eightDigits, message, error, answerLimit), 1);
        QByteArray tooLong("16777217:");
        QCOMPARE(decodeNetString(tooLong, message, error, answerLimit), -1);
    }
};

QTEST_GUILESS_MAIN(NetStringTest)
#include "tst_netstring.moc"

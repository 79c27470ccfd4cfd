// The JSON-RPC handler driven in-process over a scripted connection, with test methods whose
// calls are recorded.

#include "scripted_device.h"

#include "tests/support/log_capture.h"
#include "common/netstring.h"
#include "server/process/idle_exit.h"
#include "server/rpc/dispatcher.h"
#include "server/rpc/handler.h"

#include <QMutex>
#include <QPointer>
#include <QThread>
#include <QtTest>

namespace {

// What the methods did, in order, across threads.
struct Probe
{
    QMutex mutex;
    QStringList events;
    QAtomicInt destroyed;

    void add(const QString &event)
    {
        QMutexLocker locker(&mutex);
        events << event;
    }
    QStringList all()
    {
        QMutexLocker locker(&mutex);
        return events;
    }
};

// Echoes its params, after an optional delay; "Fail" answers with an error object of its own.
class RecordingMethod : public RpcMethod
{
public:
    RecordingMethod(Probe *probe, const QString &name, int delayMs = 0, bool succeed = true)
        : probe(probe), name(name), delayMs(delayMs), succeed(succeed)
    {
    }
    ~RecordingMethod() override { probe->destroyed.ref(); }

    bool invoke(Json::Value params, Json::Value &result) override
    {
        probe->add(name + " start");
        QThread::msleep(ulong(delayMs));
        probe->add(name + " end");
        if (!succeed) {
            result["code"] = -32094;
            result["message"] = "No session exists with the given id.";
            result["data"].append(1);
            return false;
        }
        result = params;
        return true;
    }

    Json::Value describe() override
    {
        Json::Value document;
        document["description"] = name.toStdString();
        document["parameters"] = Json::Value();
        document["returns"] = Json::Value();
        return document;
    }

private:
    Probe *probe;
    QString name;
    int delayMs;
    bool succeed;
};

const QByteArray marker = R"({"jsonrpc":"2.0","id":"marker","method":"Echo"})";
const QByteArray markerAnswer = "{\"id\":\"marker\",\"jsonrpc\":\"2.0\",\"result\":null}\n";

} // namespace

class HandlerTest : public QObject
{
    Q_OBJECT

private:
    Probe *probe = nullptr;
    Dispatcher *dispatcher = nullptr;
    ScriptedDevice *device = nullptr;
    QPointer<Handler> handler;
    LogCapture *log = nullptr;

    QByteArray payloadOf(const QByteArray &frame)
    {
        QByteArray buffer = frame;
        QByteArray payload;
        QString error;
        return decodeNetString(buffer, payload, error) == 0 && buffer.isEmpty() ? payload : "<not one frame>";
    }

    // Sends the payload followed by a marker request and returns the payloads of every write that
    // came before the marker's answer; requests run in order, so an empty list means no answer.
    QList<QByteArray> answersTo(const QByteArray &payload)
    {
        const int before = device->writes().size();
        device->deliver(encodeNetString(payload) + encodeNetString(marker));
        QList<QByteArray> answers;
        auto markerAnswered = [&] {
            return device->writes().size() > before && payloadOf(device->writes().last()) == markerAnswer;
        };
        if (!QTest::qWaitFor(markerAnswered, 5000)) {
            answers << "<no marker answer>";
            return answers;
        }
        const QList<QByteArray> writes = device->writes();
        for (int i = before; i < writes.size() - 1; ++i) {
            answers << payloadOf(writes.at(i));
        }
        return answers;
    }

private slots:
    void init()
    {
        log = new LogCapture;
        probe = new Probe;
        dispatcher = new Dispatcher;
        dispatcher->add("Echo", new RecordingMethod(probe, "Echo"));
        dispatcher->add("Fail", new RecordingMethod(probe, "Fail", 0, false));
        dispatcher->add("Slow", new RecordingMethod(probe, "Slow", 300));
        device = new ScriptedDevice;
        handler = new Handler(device, dispatcher, device);
    }

    void cleanup()
    {
        delete device; // takes the handler with it
        delete dispatcher;
        delete probe;
        delete log;
    }

    // Calls whose outcome depends on the registered methods; the protocol's own refusals are shown
    // on the wire against the real server.
    void answersRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("params handed over, keys sorted")
            << QByteArray(R"({"method":"Echo","params":{"b":[true,null],"a":1.5},"id":"x","jsonrpc":"2.0"})")
            << QByteArray("{\"id\":\"x\",\"jsonrpc\":\"2.0\",\"result\":{\"a\":1.5,\"b\":[true,null]}}\n");
        QTest::newRow("absent params arrive as null")
            << QByteArray(R"({"jsonrpc":"2.0","id":3,"method":"Echo"})")
            << QByteArray("{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":null}\n");
        QTest::newRow("method's error object copied unchanged")
            << QByteArray(R"({"jsonrpc":"2.0","id":5,"method":"Fail"})")
            << QByteArray("{\"error\":{\"code\":-32094,\"data\":[1],\"message\":\"No session exists with the given id.\"},"
                          "\"id\":5,\"jsonrpc\":\"2.0\"}\n");
        QTest::newRow("non-ASCII text escaped")
            << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":6,\"method\":\"Echo\",\"params\":[\"\xc3\xa9\"]}")
            << QByteArray("{\"id\":6,\"jsonrpc\":\"2.0\",\"result\":[\"\\u00e9\"]}\n");
        QTest::newRow("comments tolerated")
            << QByteArray("/* lead */ {\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"Echo\"} // tail\n")
            << QByteArray("{\"id\":7,\"jsonrpc\":\"2.0\",\"result\":null}\n");
        QTest::newRow("mixed batch keeps order, drops notifications")
            << QByteArray(R"([{"jsonrpc":"2.0","id":1,"method":"Echo","params":[1]},{"jsonrpc":"2.0","method":"Echo"},)"
                          R"({"jsonrpc":"2.0","id":2,"method":"Fail"},{"jsonrpc":"2.0","method":"Fail"},)"
                          R"({"jsonrpc":"2.0","id":3,"method":"echo"},4])")
            << QByteArray("[{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":[1]},"
                          "{\"error\":{\"code\":-32094,\"data\":[1],\"message\":\"No session exists with the given id.\"},\"id\":2,\"jsonrpc\":\"2.0\"},"
                          "{\"error\":{\"code\":-32601,\"message\":\"Method not found.\"},\"id\":3,\"jsonrpc\":\"2.0\"},"
                          "{\"error\":{\"code\":-32600,\"message\":\"Invalid JSON-RPC request.\"},\"id\":null,\"jsonrpc\":\"2.0\"}]\n");
        // The reader gives up on deep nesting by throwing; that must not take the server down.
        QTest::newRow("nesting too deep to parse")
            << QByteArray(20000, '[') + QByteArray(20000, ']')
            << QByteArray("{\"error\":{\"code\":-32700,\"message\":\"Parse error.\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n");
    }

    void answersRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QCOMPARE(answersTo(request), QList<QByteArray>{answer});
    }

    void notificationsRunTheMethodButGetNoAnswer()
    {
        QCOMPARE(answersTo(R"({"jsonrpc":"2.0","method":"Echo","params":[1]})"), QList<QByteArray>());
        QCOMPARE(answersTo(R"({"jsonrpc":"2.0","method":"Fail"})"), QList<QByteArray>());
        QCOMPARE(answersTo(R"({"jsonrpc":"2.0","method":"Missing"})"), QList<QByteArray>());
        QCOMPARE(answersTo(R"([{"jsonrpc":"2.0","method":"Echo"},{"jsonrpc":"2.0","method":"Echo"}])"), QList<QByteArray>());
        // Three Echo notifications and four marker calls ran; the failing one ran too.
        QCOMPARE(probe->all().count("Echo start"), 7);
        QCOMPARE(probe->all().count("Fail start"), 1);
    }

    // Two frames in one delivery: the second request starts only after the first answer was
    // written, and every answer is one write holding exactly one frame.
    void answersFramesOneAtATimeInOrder()
    {
        connect(device, &ScriptedDevice::wrote, this, [this](const QByteArray &chunk) {
            probe->add("write " + QString::fromUtf8(payloadOf(chunk)).section(',', 0, 0));
        });
        device->deliver(encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Slow"})")
                        + encodeNetString(R"({"jsonrpc":"2.0","id":2,"method":"Echo"})"));
        QVERIFY(QTest::qWaitFor([this] { return device->writes().size() == 2; }, 5000));
        QCOMPARE(probe->all(), QStringList({"Slow start", "Slow end", "write {\"id\":1", "Echo start", "Echo end",
                                            "write {\"id\":2"}));
        QCOMPARE(payloadOf(device->writes().at(0)), QByteArray("{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":null}\n"));
        QCOMPARE(payloadOf(device->writes().at(1)), QByteArray("{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":null}\n"));
    }

    // A request split across deliveries is taken once it is whole.
    void waitsForAWholeFrame()
    {
        const QByteArray frame = encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Echo"})");
        device->deliver(frame.left(1));
        device->deliver(frame.mid(1, 10));
        QTest::qWait(50);
        QVERIFY(device->writes().isEmpty());
        device->deliver(frame.mid(11));
        QVERIFY(QTest::qWaitFor([this] { return device->writes().size() == 1; }, 5000));
    }

    // Notifications go out whole, also while a request is running.
    void writesFramesUnchangedWhileBusy()
    {
        device->deliver(encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Slow"})"));
        QVERIFY(QTest::qWaitFor([this] { return probe->all().contains("Slow start"); }, 5000));
        const QByteArray update = encodeNetString("{\"jsonrpc\":\"2.0\",\"method\":\"UpdateSessions\",\"params\":null}\n");
        handler->writeToDevice(update);
        QVERIFY(QTest::qWaitFor([this] { return device->writes().size() == 2; }, 5000));
        QCOMPARE(device->writes().at(0), update);
        QCOMPARE(payloadOf(device->writes().at(1)), QByteArray("{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":null}\n"));
    }

    void framingErrorsCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("warning");
        QTest::newRow("announced length too large") << QByteArray("65537:") << "Invalid NetString length";
        QTest::newRow("six bytes without colon") << QByteArray("123456") << "Invalid NetString length";
        QTest::newRow("comma missing") << QByteArray("2:{}}") << "Missing NetString comma";
        QTest::newRow("after a good frame")
            << encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Echo"})") + "x:" << "Invalid NetString length";
    }

    void framingErrorsCloseTheConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, warning);
        const bool answerFirst = bytes.startsWith('4');
        device->deliver(bytes);
        QVERIFY(QTest::qWaitFor([this] { return !device->isOpen(); }, 5000));
        QCOMPARE(device->writes().size(), answerFirst ? 1 : 0);
        QCOMPARE(log->lines(), QStringList{"Warning: " + warning});
    }

    void describesEveryRegisteredMethodWhateverTheParams()
    {
        const QByteArray expected =
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{"
            "\"Echo\":{\"description\":\"Echo\",\"parameters\":null,\"returns\":null},"
            "\"Fail\":{\"description\":\"Fail\",\"parameters\":null,\"returns\":null},"
            "\"Slow\":{\"description\":\"Slow\",\"parameters\":null,\"returns\":null},"
            "\"system.describe\":{\"description\":\"List the RPC methods available\",\"parameters\":null,"
            "\"returns\":\"Object that contains description of all methods registered\"}}}\n";
        for (const char *params : {"", ",\"params\":null", ",\"params\":[1,2]", ",\"params\":{\"a\":1}", ",\"params\":42"}) {
            const QByteArray request = QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"system.describe\"") + params + "}";
            QCOMPARE(answersTo(request), QList<QByteArray>{expected});
        }
        QCOMPARE(answersTo(R"({"jsonrpc":"2.0","id":1,"method":"System.describe"})"),
                 QList<QByteArray>{"{\"error\":{\"code\":-32601,\"message\":\"Method not found.\"},\"id\":1,\"jsonrpc\":\"2.0\"}\n"});
    }

    // Going away mid-request: the destructor waits for the method, writes nothing, leaves the
    // methods to the dispatcher that other connections share, and stops counting as a client.
    void destructionWaitsForTheRunningRequest()
    {
        const int clients = IdleExit::global().clientCount();
        device->deliver(encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Slow"})"));
        QVERIFY(QTest::qWaitFor([this] { return probe->all().contains("Slow start"); }, 5000));
        delete handler;
        QCOMPARE(probe->all().last(), QString("Slow end"));
        QCOMPARE(probe->destroyed.loadRelaxed(), 0);
        delete dispatcher;
        dispatcher = nullptr;
        QCOMPARE(probe->destroyed.loadRelaxed(), 3);
        QCOMPARE(IdleExit::global().clientCount(), clients - 1);
        QTest::qWait(100);
        QVERIFY(device->writes().isEmpty());
    }

    // The connection closed while the request ran, the handler not yet gone: the answer is dropped
    // without complaint.
    void answerForAClosedConnectionIsDropped()
    {
        QTest::failOnWarning(QRegularExpression(".*"));
        device->deliver(encodeNetString(R"({"jsonrpc":"2.0","id":1,"method":"Slow"})"));
        QVERIFY(QTest::qWaitFor([this] { return probe->all().contains("Slow start"); }, 5000));
        device->close();
        QVERIFY(QTest::qWaitFor([this] { return probe->all().contains("Slow end"); }, 5000));
        QTest::qWait(100);
        QVERIFY(device->writes().isEmpty());
        QVERIFY(handler);
    }
};

QTEST_GUILESS_MAIN(HandlerTest)
#include "tst_handler.moc"

// The real lumen_sci against the real lumen_server, each in a private test environment.

#include "tests/support/frame_codec.h"
#include "tests/support/relay_process.h"
#include "tests/support/rpc_client.h"
#include "sci/server_connection.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

#include <json/value.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QRegularExpression relayLine(
    QStringLiteral(R"(^[A-Z][a-z]{2} \d{1,2} \d\d:\d\d:\d\d (Critical|Warning|Info|Debug1|Debug2|Debug3): \S.*$)"));

// Every line of the relay's standard error is a log line; returns the first one that is not.
QString strayLine(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (!relayLine.match(line).hasMatch()) {
            return line;
        }
    }
    return QString();
}

int indexOfLine(const QStringList &lines, const QString &text)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).endsWith(text)) {
            return i;
        }
    }
    return -1;
}

bool startSci(RelayProcess &sci, const TestEnvironment &env)
{
    return sci.start(TestEnvironment::binary(QStringLiteral("lumen_sci")), {}, env.processEnvironment());
}

bool launchServer(const TestEnvironment &env, ServerRunner &server)
{
    return env.createUserPath() && server.launch().exitCode == 0 && server.waitForFile(QStringLiteral("server_port"));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Sends one request and checks that its response comes back through the relay.
void expectDescribe(RelayProcess &sci, int id)
{
    sci.sendFrame(RelayProcess::request(QByteArray::number(id)));
    QByteArray payload;
    QVERIFY2(sci.readFrame(payload, 30000), sci.standardError().constData());
    const Json::Value response = RpcClient::parse(payload);
    QCOMPARE(response["id"].asInt(), id);
    QVERIFY2(response["result"].isMember("system.describe"), payload.constData());
}

// Connections that the system has completed for the listener on 127.0.0.1:<port> and that the server
// has not accepted yet; -1 when there is no such listener.
int acceptQueueLength(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray listener = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n').mid(1)) {
        // "sl local rem st tx_queue:rx_queue ...": a listener's rx_queue is its accept queue.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields.at(1).endsWith(':' + listener) && fields.at(3) == "0A") {
            return int(fields.at(4).split(':').last().toUInt(nullptr, 16));
        }
    }
    return -1;
}

// A stranger on the network who opens TCP connections to the server's port and never says a word.
class IdleConnections
{
public:
    explicit IdleConnections(quint16 port)
        : port(port)
    {
    }

    ~IdleConnections()
    {
        stopOpening();
        for (const int fd : fds) {
            ::close(fd);
        }
    }

    // Starts `count` connections at once, without waiting for them.
    void open(int count)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::lock_guard<std::mutex> locked(lock);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                return;
            }
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            fds.push_back(fd);
        }
    }

    // Opens `perSecond` more each second on a thread of its own, until stopOpening().
    void keepOpening(int perSecond)
    {
        opener = std::thread([this, perSecond] {
            while (!stopped) {
                open(perSecond / 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }

    void stopOpening()
    {
        stopped = true;
        if (opener.joinable()) {
            opener.join();
        }
    }

    int count()
    {
        std::lock_guard<std::mutex> locked(lock);
        return int(fds.size());
    }

    // How many are still connecting, and how many the server has closed.
    void states(int &connecting, int &closed)
    {
        std::lock_guard<std::mutex> locked(lock);
        std::vector<pollfd> polled;
        for (const int fd : fds) {
            polled.push_back({fd, POLLOUT | POLLRDHUP, 0});
        }
        ::poll(polled.data(), polled.size(), 0);
        connecting = 0;
        closed = 0;
        for (const pollfd &entry : polled) {
            if (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) {
                ++closed;
            } else if (!(entry.revents & POLLOUT)) {
                ++connecting;
            }
        }
    }

private:
    const quint16 port;
    std::mutex lock;
    std::vector<int> fds;
    std::thread opener;
    std::atomic<bool> stopped{false};
};

} // namespace

class TestSciRelay : public QObject
{
    Q_OBJECT

private slots:
    void startsTheServerInAFreshHome()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(!QFileInfo::exists(env.home() + QStringLiteral("/.lumen_server")));

        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        expectDescribe(sci, 1);
        QVERIFY(QFileInfo(env.userPath()).isDir());
        QVERIFY(QFileInfo::exists(env.userFile(QStringLiteral("../server_cert"))));
        QVERIFY(QFileInfo::exists(env.userFile(QStringLiteral("../server_key"))));
        QVERIFY(server.isRunning());

        sci.closeInput();
        int status = -1;
        QVERIFY(sci.waitForExit(status));
        QCOMPARE(status, 0);
        const QStringList lines = sci.errorLines();
        QCOMPARE(strayLine(lines), QString());
        const int started = indexOfLine(lines, QStringLiteral(" Info: Starting the sci version 1.0.38"));
        const int closed = indexOfLine(lines, QStringLiteral(" Info: Connection from the client has closed"));
        const int exiting = indexOfLine(lines, QStringLiteral(" Info: Exiting the sci"));
        QVERIFY2(started >= 0 && started < closed && closed < exiting, qPrintable(lines.join('\n')));
    }

    void connectsAtOnceToARunningServer()
    {
        TestEnvironment env;
        env.setSetting(QStringLiteral("LogLevel"), QStringLiteral("Debug1"));
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));

        QElapsedTimer timer;
        timer.start();
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        expectDescribe(sci, 2);
        // One pause of 500 ms, then the first attempt succeeds.
        QVERIFY2(timer.elapsed() < 6000, qPrintable(QString::number(timer.elapsed())));
        const QString errors = QString::fromLocal8Bit(sci.standardError());
        QVERIFY2(!errors.contains(QStringLiteral("Failed")), qPrintable(errors));
    }

    void relaysBulkRequestsAndLargeResponses()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        RelayProcess sci;
        QVERIFY(startSci(sci, env));

        // Small requests worth more than 100000 bytes, with a few whose echoed id makes the
        // response several chunks long, all written at once. The last response is a long one: its
        // tail must come out although no further server data follows it.
        QByteArray requests;
        QList<QByteArray> ids;
        const auto add = [&](const QByteArray &id) {
            ids << id;
            requests += FrameCodec::encode(RelayProcess::request(id));
        };
        while (requests.size() < 100000) {
            const int n = int(ids.size());
            add(n % 500 == 250 ? '"' + QByteArray(40000, char('a' + n % 26)) + '"' : QByteArray::number(n));
        }
        add('"' + QByteArray(50000, 'q') + '"');
        sci.send(requests);
        sci.process().waitForBytesWritten(10000);
        // A client that reads late: meanwhile the relay's output fills up and the responses pile up
        // behind it.
        QThread::msleep(1000);
        QElapsedTimer timer;
        timer.start();

        qint64 received = 0;
        for (const QByteArray &id : std::as_const(ids)) {
            QByteArray payload;
            QVERIFY2(sci.readFrame(payload, 30000), sci.standardError().constData());
            received += payload.size();
            const Json::Value response = RpcClient::parse(payload);
            QVERIFY2(response["result"].isObject(), payload.left(200).constData());
            const Json::Value expected = RpcClient::parse(id);
            QVERIFY2(response["id"] == expected, payload.left(200).constData());
        }
        qInfo("%d requests (%lld bytes); their responses (%lld bytes) read in %lld ms", int(ids.size()),
              qint64(requests.size()), received, timer.elapsed());
        QVERIFY(received > 3 * 40000);
    }

    void addsNoDelayToACall()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        // Calls of more than one chunk, one at a time, as an interactive client makes them: through
        // the relay they may take only a little longer than straight to the server. Nothing may sit
        // in a buffer waiting for a timer or for the peer's acknowledgement.
        const auto request = [](int n) { return RelayProcess::request('"' + QByteArray(20000, char('a' + n)) + '"'); };
        // A stall waiting for an acknowledgement costs every call tens of milliseconds, while a
        // loaded machine delays some calls at random: compare the faster quarter of each, with the
        // two kinds of call taking turns so that both see the same load.
        const auto lowerQuartile = [](QList<qint64> times) {
            std::sort(times.begin(), times.end());
            return times.at(times.size() / 4);
        };

        QSslSocket direct;
        QVERIFY(connectToServer(direct, env.userFile(QStringLiteral("server_port")),
                                env.userFile(QStringLiteral("../server_cert")),
                                env.userFile(QStringLiteral("../server_key"))));
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        expectDescribe(sci, 5);

        QList<qint64> directTimes;
        QList<qint64> relayTimes;
        QByteArray received;
        for (int n = 0; n < 21; ++n) {
            QElapsedTimer timer;
            timer.start();
            direct.write(FrameCodec::encode(request(n)));
            QByteArray payload;
            while (FrameCodec::take(received, payload) == FrameCodec::Frame::Incomplete) {
                QVERIFY(direct.waitForReadyRead(10000));
                received += direct.readAll();
            }
            directTimes << timer.nsecsElapsed() / 1000;

            timer.start();
            sci.sendFrame(request(n));
            QVERIFY2(sci.readFrame(payload), sci.standardError().constData());
            relayTimes << timer.nsecsElapsed() / 1000;
        }
        qInfo("faster quarter of a 20000-byte call's round trips: %lld us straight, %lld us through the relay",
              lowerQuartile(directTimes), lowerQuartile(relayTimes));
        QVERIFY(lowerQuartile(relayTimes) < lowerQuartile(directTimes) + 10000);
    }

    void forcedExitSkipsTheExitLine_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("empty") << QString();
        QTest::newRow("set") << QStringLiteral("1");
    }

    void forcedExitSkipsTheExitLine()
    {
        QFETCH(QString, value);
        TestEnvironment env;
        env.setVariable(QStringLiteral("RX_FORCE_EXIT"), value);
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        expectDescribe(sci, 3);

        sci.closeInput();
        int status = -1;
        QVERIFY(sci.waitForExit(status));
        QCOMPARE(status, 0);
        const QStringList lines = sci.errorLines();
        QVERIFY(indexOfLine(lines, QStringLiteral(" Info: Connection from the client has closed")) >= 0);
        QCOMPARE(indexOfLine(lines, QStringLiteral(" Info: Exiting the sci")), -1);
    }

    void endsWhenTheServerStops()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        expectDescribe(sci, 4);

        QVERIFY(server.stop(SIGTERM));
        int status = -1;
        QVERIFY(sci.waitForExit(status));
        QCOMPARE(status, 0);
        const QStringList lines = sci.errorLines();
        const int closed = indexOfLine(lines, QStringLiteral(" Info: Connection to the server closed"));
        QVERIFY2(closed >= 0 && closed < indexOfLine(lines, QStringLiteral(" Info: Exiting the sci")),
                 qPrintable(lines.join('\n')));
    }

    void rejectsAServerWithAnotherCertificate()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        // Another identity copied into place after the server has loaded its own.
        const QString certificate = env.userFile(QStringLiteral("../server_cert"));
        const QString key = env.userFile(QStringLiteral("../server_key"));
        QVERIFY(QFile::remove(certificate) && QFile::remove(key));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                                  "-out", certificate, "-days", "1", "-batch", "-subj", "/CN=other"});
        QVERIFY2(openssl.waitForFinished(30000) && openssl.exitCode() == 0, openssl.readAll().constData());

        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        int status = -1;
        QVERIFY(sci.waitForExit(status, 20000));
        QCOMPARE(status, 1);
        const QStringList lines = sci.errorLines();
        QVERIFY2(indexOfLine(lines, QStringLiteral(" Critical: Failed to verify the server")) >= 0,
                 qPrintable(lines.join('\n')));
        QCOMPARE(indexOfLine(lines, QStringLiteral(" Info: Starting the sci version 1.0.38")), -1);
    }

    void givesUpOnAPortWhereNothingListens()
    {
        TestEnvironment env;
        env.setSetting(QStringLiteral("LogLevel"), QStringLiteral("Debug1"));
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 deadPort = probe.serverPort();
        probe.close();
        QVERIFY(writeFile(env.userFile(QStringLiteral("server_port")), QByteArray::number(deadPort)));

        QElapsedTimer timer;
        timer.start();
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        int status = -1;
        QVERIFY(sci.waitForExit(status, 30000));
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(status, 1);
        QVERIFY2(elapsed >= 9900 && elapsed < 16000, qPrintable(QString::number(elapsed)));

        const QStringList lines = sci.errorLines();
        QCOMPARE(strayLine(lines), QString());
        const QString retry = QStringLiteral(" Debug1: Failed to connect to port \"%1\": ").arg(deadPort);
        const int retries = int(std::count_if(lines.cbegin(), lines.cend(),
                                              [&](const QString &line) { return line.contains(retry); }));
        QVERIFY2(retries >= 10, qPrintable(lines.join('\n')));
        QVERIFY(lines.last().endsWith(QStringLiteral(" Critical: Failed to connect to the server")));
    }

    // A stranger holding thousands of idle connections, and opening more all the time, neither
    // locks the user's relay out nor makes the server keep them: the server, started under a soft
    // limit of 1024 open files, closes them and gets back to the descriptors it had before.
    void answersThroughAFloodOfIdleConnections()
    {
        TestEnvironment env;
        ServerRunner server(env);
        server.setOpenFileLimit(1024);
        QVERIFY(launchServer(env, server));
        const int socketsBefore = server.descriptorCount(true);

        // This test's own descriptors stay within its hard limit.
        rlimit limit;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        limit.rlim_cur = limit.rlim_max;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        const int held = int(std::min<rlim_t>(3000, limit.rlim_cur - 1000));
        QVERIFY2(held >= 2000, qPrintable(QString("the hard limit of %1 files is too low").arg(limit.rlim_cur)));

        IdleConnections stranger(server.port());
        QElapsedTimer clock;
        clock.start();
        // As fast as the server takes them in: a connection for which its listen queue has no room
        // is left half-open by the system, neither held by the server nor closed by it.
        const QDeadlineTimer openingDeadline(60000);
        for (int opened = 0; opened < held;) {
            QVERIFY2(!openingDeadline.hasExpired(),
                     qPrintable(QString("the server stopped taking connections after %1; it holds %2 sockets")
                                    .arg(opened)
                                    .arg(server.descriptorCount(true))));
            if (acceptQueueLength(server.port()) < 256) {
                stranger.open(std::min(25, held - opened));
                opened += 25;
            }
            QTest::qWait(5);
        }
        int connecting = 0;
        int closed = 0;
        // Taken in: all of them connected, and the server keeps no more than a few dozen.
        const bool takenIn = QTest::qWaitFor([&] {
            stranger.states(connecting, closed);
            return connecting == 0 && closed >= held - 100;
        }, 30000);
        QVERIFY2(takenIn, qPrintable(QString("%1 connections wait for the server, %2 are closed; it holds %3 sockets")
                                         .arg(connecting)
                                         .arg(closed)
                                         .arg(server.descriptorCount(true))));
        qInfo("%d idle connections taken in after %lld ms; the server holds %d sockets", held, clock.elapsed(),
              server.descriptorCount(true));

        stranger.keepOpening(50);
        clock.restart();
        RelayProcess sci;
        QVERIFY(startSci(sci, env));
        sci.sendFrame(RelayProcess::request("7"));
        QByteArray payload;
        const bool answered = sci.readFrame(payload, 10000);
        const qint64 answerMs = clock.elapsed();
        stranger.stopOpening();
        qInfo("the relay's answer came after %lld ms; %d connections in all", answerMs, stranger.count());
        QVERIFY2(answered, sci.standardError().constData());
        QCOMPARE(RpcClient::parse(payload)["id"].asInt(), 7);
        QVERIFY2(answerMs < 3000, qPrintable(QString::number(answerMs)));
        sci.closeInput();
        int status = -1;
        QVERIFY(sci.waitForExit(status));

        // Every idle connection is closed by the server, the last ones by the handshake limit, and
        // the server's sockets are back to those it had before.
        clock.restart();
        const bool allClosed = QTest::qWaitFor([&] {
            stranger.states(connecting, closed);
            return closed == stranger.count();
        }, 15000);
        QVERIFY2(allClosed, qPrintable(QString("%1 of %2 are still open, %3 of them connecting; the server holds %4 sockets")
                                           .arg(stranger.count() - closed)
                                           .arg(stranger.count())
                                           .arg(connecting)
                                           .arg(server.descriptorCount(true))));
        qInfo("all closed %lld ms after the last one was opened", clock.elapsed());
        QTRY_COMPARE_WITH_TIMEOUT(server.descriptorCount(true), socketsBefore, 5000);
        QVERIFY(server.isRunning());
    }

    void endsWhenTheClientStopsReading()
    {
        TestEnvironment env;
        ServerRunner server(env);
        QVERIFY(launchServer(env, server));
        // Standard output is a pipe that nobody reads: it fills, and then nothing more is accepted.
        const QString fifo = env.tmpDir() + QStringLiteral("/sci_out");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const int unread = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(unread >= 0);
        RelayProcess sci;
        sci.process().setStandardOutputFile(fifo);
        QVERIFY(startSci(sci, env));
        for (int n = 0; n < 4; ++n) {
            sci.sendFrame(RelayProcess::request('"' + QByteArray(40000, 'z') + '"'));
        }

        QElapsedTimer timer;
        timer.start();
        int status = -1;
        const bool exited = sci.waitForExit(status, 30000);
        ::close(unread);
        QVERIFY(exited);
        QCOMPARE(status, 1);
        const QStringList lines = sci.errorLines();
        QVERIFY2(indexOfLine(lines, QStringLiteral(
                                        " Critical: Failed to transfer bytes to the client: No bytes were accepted for 10 s"))
                     >= 0,
                 qPrintable(lines.join('\n')));
        QVERIFY(timer.elapsed() >= 9000);
    }
};

QTEST_GUILESS_MAIN(TestSciRelay)
#include "tst_sci_relay.moc"

// How quickly the real server answers one client while another client's "Live.Start" waits for an
// agent that takes its time: the latency of "Live.GetVersion" on a second connection, p50 and p99,
// during a slow start and, for comparison, with nothing else going on.
//
// Runs lumen_server and the stand-in agent of tests/fixtures in a private environment, like the
// tests do. Prints its figures; never fails on timing.

#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTextStream>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

QTextStream out(stdout);

constexpr int agentDelayMs = 6000;
constexpr int pauseBetweenCallsMs = 10;

QByteArray frame(const QByteArray &payload)
{
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

// A blocking client: one call at a time, timed from the write to the last byte of the answer.
class BlockingClient
{
public:
    bool connect(quint16 port, const QString &certificatePath, const QString &keyPath)
    {
        QFile certificateFile(certificatePath);
        QFile keyFile(keyPath);
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            return false;
        }
        socket.setLocalCertificate(QSslCertificate(certificateFile.readAll(), QSsl::Pem));
        socket.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey));
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return socket.waitForEncrypted(10000);
    }

    void send(const QByteArray &payload) { socket.write(frame(payload)); socket.flush(); }

    // Waits for the frame that carries `marker` (notifications may come first); false on time-out.
    bool waitFor(const QByteArray &marker, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            received += socket.readAll();
            while (true) {
                const int colon = received.indexOf(':');
                if (colon < 0) {
                    break;
                }
                const int length = received.left(colon).toInt();
                if (received.size() < colon + length + 2) {
                    break;
                }
                const QByteArray payload = received.mid(colon + 1, length);
                received.remove(0, colon + length + 2);
                if (payload.contains(marker)) {
                    return true;
                }
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0 || !socket.waitForReadyRead(int(left))) {
                return false;
            }
        }
    }

    // The time one "Live.GetVersion" call takes, in microseconds; -1 when it got no answer.
    qint64 timeGetVersion(int id)
    {
        const QByteArray marker = "\"id\":" + QByteArray::number(id) + ",";
        QElapsedTimer clock;
        clock.start();
        send("{\"id\":" + QByteArray::number(id) + ",\"jsonrpc\":\"2.0\",\"method\":\"Live.GetVersion\"}\n");
        return waitFor(marker, 30000) ? clock.nsecsElapsed() / 1000 : -1;
    }

private:
    QSslSocket socket;
    QByteArray received;
};

struct Figures
{
    QList<qint64> micros;
    int unanswered = 0;

    qint64 percentile(double p) const
    {
        if (micros.isEmpty()) {
            return -1;
        }
        QList<qint64> sorted = micros;
        std::sort(sorted.begin(), sorted.end());
        const int index = std::min<int>(sorted.size() - 1, int(p * sorted.size()));
        return sorted.at(index);
    }
};

void sample(BlockingClient &client, Figures &figures, int &id, qint64 forMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < forMs) {
        const qint64 micros = client.timeGetVersion(++id);
        if (micros < 0) {
            ++figures.unanswered;
        } else {
            figures.micros << micros;
        }
        QThread::msleep(pauseBetweenCallsMs);
    }
}

void print(const char *what, const Figures &figures)
{
    out << what << ": " << figures.micros.size() << " calls, p50 " << figures.percentile(0.5) / 1000.0 << " ms, p99 "
        << figures.percentile(0.99) / 1000.0 << " ms, max " << figures.percentile(1.0) / 1000.0 << " ms";
    if (figures.unanswered > 0) {
        out << ", " << figures.unanswered << " unanswered";
    }
    out << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestEnvironment env;
    env.setSetting("DisplayBase", 180);
    env.setSetting("DisplayLimit", 10);
    env.setVariable("FAKE_AGENT_MODE", QStringLiteral("start-delay=%1").arg(agentDelayMs));
    ServerRunner server(env);
    if (!env.createUserPath() || server.launch().exitCode != 0 || !server.waitForFile("server_port")) {
        out << "the server did not start" << Qt::endl;
        return 1;
    }
    const QString certificate = env.userFile("../server_cert");
    const QString key = env.userFile("../server_key");
    BlockingClient starter;
    BlockingClient prober;
    if (!starter.connect(server.port(), certificate, key) || !prober.connect(server.port(), certificate, key)) {
        out << "cannot connect to the server" << Qt::endl;
        return 1;
    }

    int id = 0;
    Figures idle;
    sample(prober, idle, id, agentDelayMs - 1000);

    const QString session = QUuid::createUuid().toString(QUuid::Id128);
    starter.send("{\"id\":\"start\",\"jsonrpc\":\"2.0\",\"method\":\"Live.Start\",\"params\":[\"" + session.toUtf8()
                 + "\",\"xterm\",\"1024x768\"]}\n");
    Figures starting;
    sample(prober, starting, id, agentDelayMs - 1000);
    const bool started = starter.waitFor("\"id\":\"start\",\"jsonrpc\":\"2.0\",\"result\"", 30000);

    out << "Live.GetVersion from a second client (agent start-up " << agentDelayMs << " ms)" << Qt::endl;
    print("  no start running     ", idle);
    print("  during a slow start  ", starting);
    out << "  the start " << (started ? "succeeded" : "did not succeed") << Qt::endl;

    starter.send("{\"id\":\"end\",\"jsonrpc\":\"2.0\",\"method\":\"Live.Terminate\",\"params\":[\"" + session.toUtf8()
                 + "\"]}\n");
    starter.waitFor("\"id\":\"end\"", 30000);
    server.stop(SIGTERM);
    return 0;
}

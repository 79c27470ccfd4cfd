// How quickly the real server answers one client while another client's "Live.Start" waits for an
// agent that takes its time: the latency of "Live.GetVersion" on a second connection, p50 and p99,
// during a slow start and, for comparison, with nothing else going on.
//
// Runs lumen_server and the stand-in agent of tests/fixtures in a private environment, like the
// tests do. Prints its figures; never fails on timing.

#include "bench/blocking_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

// The time one "Live.GetVersion" call takes, in microseconds; -1 when it got no answer.
qint64 timeGetVersion(BlockingClient &client, int id)
{
    const QByteArray marker = "\"id\":" + QByteArray::number(id) + ",";
    QElapsedTimer clock;
    clock.start();
    client.send("{\"id\":" + QByteArray::number(id) + ",\"jsonrpc\":\"2.0\",\"method\":\"Live.GetVersion\"}\n");
    return client.waitFor(marker, 30000) ? clock.nsecsElapsed() / 1000 : -1;
}

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
        const qint64 micros = timeGetVersion(client, ++id);
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
    BlockingClient starter;
    BlockingClient prober;
    QString error;
    if (!starter.launchAndConnect(env, server, error)) {
        out << error << Qt::endl;
        return 1;
    }
    if (!prober.connectTo(env, server)) {
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

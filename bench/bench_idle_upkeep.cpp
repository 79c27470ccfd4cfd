// What idle sessions cost the server: its processor time and its system calls per update (one every
// 400 ms), with 0, 100 and 1,000 sessions whose agents do nothing.
//
// Runs lumen_server in a private environment with the light stand-in launchers (light_agent.cpp)
// first on its PATH, and starts the sessions through "Live.Start". For each number of sessions it
// measures, over whole periods of the upkeep's safety net (10 s), the processor time of all the
// server's threads (from /proc/<pid>/task/*/schedstat, in nanoseconds) and, with strace attached,
// the server's system calls. A session's share is what the server spends beyond its share with no
// session at all. When the machine cannot hold the next number of sessions, it says where the starts
// stopped. Prints; never fails on timing.
//
//   bench_idle_upkeep [largest number of sessions, default 1000]

#include "bench/blocking_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <QUuid>

#include <csignal>

namespace {

QTextStream out(stdout);

constexpr int tickMs = 400;
constexpr int cpuWindowMs = 20000;
constexpr int syscallWindowMs = 10000;
constexpr int settleMs = 2000;
constexpr int firstDisplay = 3000;

// Processor time of every thread of the process so far, in nanoseconds; -1 when it cannot be read.
qint64 processorNs(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    if (!tasks.exists()) {
        return -1;
    }
    qint64 total = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (stat.open(QIODevice::ReadOnly)) {
            total += stat.readAll().split(' ').value(0).toLongLong();
        }
    }
    return total;
}

// The server's system calls in `windowMs`, counted by strace; -1 without strace.
qint64 countSystemCalls(qint64 pid, int windowMs)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty()) {
        return -1;
    }
    QProcess tracer;
    tracer.setProcessChannelMode(QProcess::MergedChannels);
    tracer.start(strace, {QStringLiteral("-f"), QStringLiteral("-c"), QStringLiteral("-p"), QString::number(pid)});
    if (!tracer.waitForStarted(5000)) {
        return -1;
    }
    QThread::msleep(500); // attached to every thread by then
    QThread::msleep(ulong(windowMs));
    ::kill(pid_t(tracer.processId()), SIGINT);
    if (!tracer.waitForFinished(20000)) {
        tracer.kill();
        return -1;
    }
    // The summary ends with "100.00  <seconds>  <usecs/call>  <calls>  [<errors>]  total".
    for (const QByteArray &line : tracer.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 5 && fields.last() == "total") {
            return fields.at(3).toLongLong();
        }
    }
    return -1;
}

struct Figures
{
    int sessions = 0;
    double cpuUsPerTick = 0;
    double callsPerTick = -1;
};

Figures measureIdle(qint64 pid, int sessions)
{
    Figures figures;
    figures.sessions = sessions;
    QThread::msleep(settleMs);
    const qint64 before = processorNs(pid);
    QThread::msleep(cpuWindowMs);
    const qint64 after = processorNs(pid);
    figures.cpuUsPerTick = double(after - before) / 1000.0 / (double(cpuWindowMs) / tickMs);
    const qint64 calls = countSystemCalls(pid, syscallWindowMs);
    if (calls >= 0) {
        figures.callsPerTick = double(calls) / (double(syscallWindowMs) / tickMs);
    }
    return figures;
}

bool startSession(BlockingClient &client, int id)
{
    const QByteArray sessionId = QUuid::createUuid().toString(QUuid::Id128).toLatin1();
    const QByteArray number = QByteArray::number(id);
    client.send("{\"id\":" + number + ",\"jsonrpc\":\"2.0\",\"method\":\"Live.Start\",\"params\":[\"" + sessionId
                + "\",\"xterm\",\"1024x768\"]}\n");
    QByteArray answer;
    if (!client.waitFor("\"id\":" + number + ",", 60000, &answer) || !answer.contains("\"result\":")) {
        out << "  a start failed: " << answer << Qt::endl;
        return false;
    }
    return true;
}

// Ends the light agents of every session the server holds.
void endAgents(const TestEnvironment &env)
{
    const QDir sessions(env.userFile(QStringLiteral("sessions")));
    for (const QString &session : sessions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile pidFile(sessions.filePath(session + QStringLiteral("/server_pid")));
        const qint64 pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toLongLong() : 0;
        // Only a process that works in the session's directory is that session's agent.
        if (pid > 0
            && QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).canonicalFilePath()
                   == QFileInfo(sessions.filePath(session)).canonicalFilePath()) {
            ::kill(pid_t(pid), SIGTERM);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int largest = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    TestEnvironment env;
    env.prependPath(QStringLiteral(LIGHT_LAUNCHERS_DIR));
    env.setSetting("DisplayBase", firstDisplay);
    env.setSetting("DisplayLimit", largest + 100);
    env.setSetting("LogLevel", "Warning");
    ServerRunner server(env);
    BlockingClient client;
    QString error;
    if (!client.launchAndConnect(env, server, error)) {
        out << error << Qt::endl;
        return 1;
    }
    const qint64 pid = server.pid();
    // One call at once: it also sends the handshake's last message, which would otherwise wait in
    // the client until it next writes, while the server gives up on a handshake that does not end.
    client.send("{\"id\":0,\"jsonrpc\":\"2.0\",\"method\":\"Live.GetVersion\"}\n");
    if (!client.waitFor("\"id\":0,", 10000)) {
        out << "the server does not answer" << Qt::endl;
        return 1;
    }

    QList<Figures> results;
    int started = 0;
    bool stopped = false;
    for (const int wanted : {0, 100, 1000}) {
        const int target = qMin(wanted, largest);
        if (!results.isEmpty() && target <= started) {
            continue;
        }
        QElapsedTimer timer;
        timer.start();
        const int before = started;
        while (started < target) {
            if (!startSession(client, started + 1)) {
                out << "  the starts stopped at " << started << " sessions" << Qt::endl;
                stopped = true;
                break;
            }
            ++started;
        }
        if (started > before) {
            out << "  " << started << " sessions up, the last " << started - before << " started in "
                << timer.elapsed() / 1000.0 << " s" << Qt::endl;
        }
        if (results.isEmpty() || started > results.last().sessions) {
            results << measureIdle(pid, started);
        }
        if (stopped) {
            break;
        }
    }
    out << "  server resident memory with " << started << " sessions: " << server.residentKiB() / 1024 << " MiB"
        << Qt::endl;
    endAgents(env);
    server.stop(SIGTERM);

    out << "Idle upkeep, one update every " << tickMs << " ms; processor time over " << cpuWindowMs / 1000
        << " s, system calls (strace) over " << syscallWindowMs / 1000 << " s" << Qt::endl;
    const Figures &none = results.first();
    for (const Figures &figures : results) {
        out << "  " << qSetFieldWidth(5) << Qt::right << figures.sessions << qSetFieldWidth(0) << Qt::left
            << " sessions: " << figures.cpuUsPerTick << " us CPU per tick";
        if (figures.sessions > 0) {
            out << ", " << (figures.cpuUsPerTick - none.cpuUsPerTick) / figures.sessions << " us per session-tick";
        }
        if (figures.callsPerTick >= 0) {
            out << "; " << figures.callsPerTick << " system calls per tick";
            if (figures.sessions > 0 && none.callsPerTick >= 0) {
                out << ", " << (figures.callsPerTick - none.callsPerTick) / figures.sessions << " per session-tick";
            }
        } else {
            out << "; system calls not counted (no strace)";
        }
        out << Qt::endl;
    }
    return 0;
}

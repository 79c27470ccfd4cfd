// The server's own share of "Live.Start" and "Live.Terminate": each call's time from the request to
// its answer, minus what the agent itself spends (its start-up, its reaction to a signal). What is
// left is what the server adds: the display search, the session files, "xauth", the launches, and
// the time it takes to notice that the agent has done what it was asked.
//
// Runs lumen_server and the stand-in agent of tests/fixtures in a private environment, like the
// tests do; the stand-in notes its own times in a file (FAKE_AGENT_TIMES). Prints p50 and max over
// the runs, with the phases that make up the share; never fails on timing.
//
// Then the same calls with the light stand-in launchers of light_agent.cpp, which start in a
// millisecond and react to a signal at once: there the whole call is close to the server's share,
// with nothing estimated and taken away.

#include "bench/blocking_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTextStream>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <ctime>

namespace {

QTextStream out(stdout);

constexpr int runs = 20;
// The light calls are quick, and more of them steady the median.
constexpr int lightRuns = 60;
constexpr int agentStartMs = 200;
constexpr int interpreterSamples = 10;

// The clock the stand-in agent notes its times on (Python's time.monotonic()), in milliseconds.
double monotonicMs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1000000.0;
}

class Samples
{
public:
    void add(double value) { values << value; }

    Samples shifted(double by) const
    {
        Samples moved;
        for (double value : values) {
            moved.add(value + by);
        }
        return moved;
    }

    double percentile(double p) const
    {
        if (values.isEmpty()) {
            return -1;
        }
        QList<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted.at(std::min<qsizetype>(sorted.size() - 1, qsizetype(p * double(sorted.size()))));
    }

    void print(const char *what) const
    {
        out << "  " << qSetFieldWidth(44) << Qt::left << what << qSetFieldWidth(0) << "p50 " << percentile(0.5)
            << " ms, max " << percentile(1.0) << " ms" << Qt::endl;
    }

private:
    QList<double> values;
};

// The agent's notes of one run: event ("begun", "started", "signal 10", "reacted 10", ...) to time.
QHash<QString, double> readAgentTimes(const QString &path)
{
    QHash<QString, double> times;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return times;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromLatin1(file.readLine()).trimmed();
        const qsizetype space = line.lastIndexOf(QLatin1Char(' '));
        if (space > 0 && !times.contains(line.left(space))) {
            times.insert(line.left(space), line.mid(space + 1).toDouble() * 1000.0);
        }
    }
    return times;
}

// How long the stand-in's interpreter takes before its first line runs: the agent's own time, but
// one that it cannot note itself. Measured with the same interpreter, from the start to the first line.
double interpreterStartMs()
{
    Samples samples;
    for (int i = 0; i < interpreterSamples; ++i) {
        QProcess python;
        const double before = monotonicMs();
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QStringLiteral("import time; print(time.monotonic())")});
        if (python.waitForFinished(10000)) {
            samples.add(python.readAllStandardOutput().trimmed().toDouble() * 1000.0 - before);
        }
    }
    return samples.percentile(0.5);
}

// How long the light start-agent takes from its start to its first line: the agent's own time.
double lightAgentStartMs()
{
    Samples samples;
    for (int i = 0; i < interpreterSamples; ++i) {
        QProcess agent;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LIGHT_AGENT_PROBE"), QStringLiteral("1"));
        agent.setProcessEnvironment(environment);
        const double before = monotonicMs();
        agent.start(QStringLiteral(LIGHT_LAUNCHERS_DIR "/start-agent"), {});
        if (agent.waitForFinished(10000)) {
            samples.add(agent.readAllStandardOutput().trimmed().toDouble() * 1000.0 - before);
        }
    }
    return samples.percentile(0.5);
}

// So that a failed call explains itself.
void printLogTail(const TestEnvironment &env)
{
    QFile log(env.userFile(QStringLiteral("server_log")));
    if (log.open(QIODevice::ReadOnly)) {
        log.seek(qMax<qint64>(0, log.size() - 4000));
        out << "The end of the server's log:" << Qt::endl << log.readAll() << Qt::endl;
    }
}

// Sends the request and waits for its answer; false unless the answer is a result.
bool call(BlockingClient &client, int id, const char *method, const QByteArray &params)
{
    const QByteArray number = QByteArray::number(id);
    client.send("{\"id\":" + number + ",\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"params\":" + params
                + "}\n");
    QByteArray answer;
    if (!client.waitFor("\"id\":" + number + ",", 30000, &answer) || !answer.contains("\"result\":")) {
        out << method << " failed: " << answer << Qt::endl;
        return false;
    }
    return true;
}

// Starts and ends sessions run by the light launchers; false when the server or a call failed.
bool measureLightCalls(Samples &starts, Samples &terminates)
{
    TestEnvironment env;
    env.prependPath(QStringLiteral(LIGHT_LAUNCHERS_DIR));
    env.setSetting("DisplayBase", 180);
    env.setSetting("DisplayLimit", 10);
    ServerRunner server(env);
    BlockingClient client;
    QString error;
    if (!client.launchAndConnect(env, server, error)) {
        out << "with the light launchers, " << error << Qt::endl;
        return false;
    }
    bool done = true;
    for (int run = 0; done && run < lightRuns; ++run) {
        // Starts a moment apart, as a user makes them: the server readies the next one's "xauth" in
        // between, which back-to-back starts would catch still loading.
        QThread::msleep(100);
        const QByteArray id = QUuid::createUuid().toString(QUuid::Id128).toLatin1();
        const double startSent = monotonicMs();
        done = call(client, run * 2, "Live.Start", "[\"" + id + "\",\"xterm\",\"1024x768\"]");
        const double terminateSent = monotonicMs();
        done = done && call(client, run * 2 + 1, "Live.Terminate", "[\"" + id + "\"]");
        if (done) {
            starts.add(terminateSent - startSent);
            terminates.add(monotonicMs() - terminateSent);
        }
    }
    if (!done) {
        printLogTail(env);
    }
    server.stop(SIGTERM);
    return done;
}

struct Figures
{
    Samples startTotal, startShare, launch, noticeStarted, noticePassword;
    Samples terminateTotal, terminateShare, signalSent, noticeExit;
};

// One start and one terminate; false when either call failed.
bool measureOnce(BlockingClient &client, const QString &timesPath, double interpreterMs, int run, Figures &figures)
{
    QFile::remove(timesPath);
    const QByteArray id = QUuid::createUuid().toString(QUuid::Id128).toLatin1();
    const double startSent = monotonicMs();
    if (!call(client, run * 2, "Live.Start", "[\"" + id + "\",\"xterm\",\"1024x768\"]")) {
        return false;
    }
    const double startAnswered = monotonicMs();
    const double terminateSent = monotonicMs();
    if (!call(client, run * 2 + 1, "Live.Terminate", "[\"" + id + "\"]")) {
        return false;
    }
    const double terminateAnswered = monotonicMs();

    const QHash<QString, double> agent = readAgentTimes(timesPath);
    for (const char *event : {"begun", "started", "signal 10", "reacted 10", "signal 15", "reacted 15"}) {
        if (!agent.contains(QLatin1String(event))) {
            out << "the agent noted no \"" << event << "\"" << Qt::endl;
            return false;
        }
    }
    const double agentStart = interpreterMs + agent["started"] - agent["begun"];
    const double passwordReaction = agent["reacted 10"] - agent["signal 10"];
    const double exitReaction = agent["reacted 15"] - agent["signal 15"];

    figures.startTotal.add(startAnswered - startSent);
    figures.startShare.add(startAnswered - startSent - agentStart - passwordReaction);
    figures.launch.add(agent["begun"] - interpreterMs - startSent);
    figures.noticeStarted.add(agent["signal 10"] - agent["started"]);
    figures.noticePassword.add(startAnswered - agent["reacted 10"]);
    figures.terminateTotal.add(terminateAnswered - terminateSent);
    figures.terminateShare.add(terminateAnswered - terminateSent - exitReaction);
    figures.signalSent.add(agent["signal 15"] - terminateSent);
    figures.noticeExit.add(terminateAnswered - agent["reacted 15"]);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestEnvironment env;
    const QString timesPath = env.root() + QStringLiteral("/agent_times");
    env.setSetting("DisplayBase", 190);
    env.setSetting("DisplayLimit", 10);
    env.setVariable("FAKE_AGENT_MODE", QStringLiteral("start-delay=%1").arg(agentStartMs));
    env.setVariable("FAKE_AGENT_TIMES", timesPath);
    ServerRunner server(env);
    BlockingClient client;
    QString error;
    if (!client.launchAndConnect(env, server, error)) {
        out << error << Qt::endl;
        return 1;
    }

    const double interpreterMs = interpreterStartMs();
    Figures figures;
    int done = 0;
    for (int run = 0; run < runs && measureOnce(client, timesPath, interpreterMs, run, figures); ++run) {
        ++done;
    }
    if (done < runs) {
        printLogTail(env);
    }
    server.stop(SIGTERM);

    out << "Session path, " << done << " runs, stand-in agent with a " << agentStartMs << " ms start"
        << " (its interpreter starts in " << interpreterMs << " ms, counted as the agent's)" << Qt::endl;
    out << "Live.Start" << Qt::endl;
    figures.startTotal.print("total");
    figures.startShare.print("server's share");
    figures.launch.print("  request to the agent's first line");
    figures.noticeStarted.print("  agent up to SIGUSR1");
    figures.noticePassword.print("  new password to the answer");
    out << "Live.Terminate" << Qt::endl;
    figures.terminateTotal.print("total");
    figures.terminateShare.print("server's share");
    figures.signalSent.print("  request to SIGTERM");
    figures.noticeExit.print("  agent's end to the answer");

    Samples lightStarts;
    Samples lightTerminates;
    const bool lightDone = measureLightCalls(lightStarts, lightTerminates);
    const double lightAgentMs = lightAgentStartMs();
    out << "With the light launchers, " << lightRuns << " runs: the whole call (the light agent starts in " << lightAgentMs
        << " ms)" << Qt::endl;
    lightStarts.print("Live.Start");
    lightStarts.shifted(-lightAgentMs).print("Live.Start less the agent's start");
    lightTerminates.print("Live.Terminate");
    return done == runs && lightDone ? 0 : 1;
}

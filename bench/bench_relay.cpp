// One call through the relay against the same call straight to the server, in the same run: the
// relay's own share of an interactive client's round trip.
//
// Runs lumen_server in a private environment, like the tests do. The direct client speaks TLS itself
// and blocks on its socket; the relay's client writes each request frame to lumen_sci's standard input
// (a pipe, as ssh gives it) and blocks on reading its standard output. Both clients take turns in
// blocks of calls, so that a change in the machine's load falls on both. Prints p50 and p90 of each
// and their ratio, and the round trip of the same bytes through "cat": the least a relay process adds
// on this machine. Never fails on timing.

#include "bench/blocking_client.h"
#include "common/netstring.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

QTextStream out(stdout);

constexpr int warmUpCalls = 200;
constexpr int rounds = 20;
constexpr int callsPerRound = 100;

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// A program with its standard input and output on pipes of this process: lumen_sci, or "cat" as the
// least a process between client and server can cost.
class Relay
{
public:
    ~Relay()
    {
        if (input >= 0) {
            ::close(input);
        }
        if (output >= 0) {
            ::close(output);
        }
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }

    bool start(const QProcessEnvironment &environment, const QString &programPath)
    {
        int toRelay[2];
        int fromRelay[2];
        if (::pipe2(toRelay, O_CLOEXEC) != 0 || ::pipe2(fromRelay, O_CLOEXEC) != 0) {
            return false;
        }
        std::vector<QByteArray> variables;
        for (const QString &entry : environment.toStringList()) {
            variables.push_back(entry.toLocal8Bit());
        }
        std::vector<char *> envp;
        for (QByteArray &entry : variables) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        QByteArray program = QFile::encodeName(programPath);
        char *argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toRelay[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromRelay[1], STDOUT_FILENO);
        const int result = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(toRelay[0]);
        ::close(fromRelay[1]);
        input = toRelay[1];
        output = fromRelay[0];
        return result == 0;
    }

    // Sends one frame and blocks until the frame that holds `marker` is back (notifications are skipped).
    bool call(const QByteArray &frame, const QByteArray &marker)
    {
        if (!send(frame)) {
            return false;
        }
        for (;;) {
            QByteArray message;
            QString error;
            const int status = decodeNetString(received, message, error, netStringAnswerLimit);
            if (status == 0) {
                if (message.contains(marker)) {
                    return true;
                }
                continue;
            }
            if (status < 0) {
                return false;
            }
            char buffer[65536];
            const ssize_t count = ::read(output, buffer, sizeof buffer);
            if (count <= 0) {
                return false;
            }
            received.append(buffer, count);
        }
    }

    // Sends bytes and blocks until as many came back: a round trip through "cat".
    bool echo(const QByteArray &bytes)
    {
        if (!send(bytes)) {
            return false;
        }
        char buffer[65536];
        for (qsizetype got = 0; got < bytes.size();) {
            const ssize_t count = ::read(output, buffer, sizeof buffer);
            if (count <= 0) {
                return false;
            }
            got += count;
        }
        return true;
    }

    // Processor time of every thread of the relay so far, in microseconds.
    double processorUs() const
    {
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        qint64 total = 0;
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
            if (stat.open(QIODevice::ReadOnly)) {
                total += stat.readAll().split(' ').value(0).toLongLong();
            }
        }
        return double(total) / 1000.0;
    }

private:
    bool send(const QByteArray &bytes)
    {
        for (qsizetype written = 0; written < bytes.size();) {
            const ssize_t count = ::write(input, bytes.constData() + written, size_t(bytes.size() - written));
            if (count <= 0) {
                return false;
            }
            written += count;
        }
        return true;
    }

    pid_t pid = 0;
    int input = -1;
    int output = -1;
    QByteArray received;
};

QByteArray request(int id, const char *method)
{
    return "{\"id\":" + QByteArray::number(id) + ",\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\"}\n";
}

struct Comparison
{
    std::vector<double> direct;
    std::vector<double> relayed;
    std::vector<double> copied;
};

bool measure(BlockingClient &client, Relay &relay, Relay &copier, const char *method, int calls, Comparison *comparison,
             int &id)
{
    for (int i = 0; i < calls; ++i) {
        const QByteArray payload = request(++id, method);
        const QByteArray frame = encodeNetString(payload);
        const QByteArray marker = "\"id\":" + QByteArray::number(id) + ",";
        QElapsedTimer timer;
        timer.start();
        client.send(payload);
        if (!client.waitFor(marker, 10000)) {
            return false;
        }
        const double direct = double(timer.nsecsElapsed()) / 1000.0;
        timer.restart();
        if (!relay.call(frame, marker)) {
            return false;
        }
        const double relayed = double(timer.nsecsElapsed()) / 1000.0;
        timer.restart();
        if (!copier.echo(frame)) {
            return false;
        }
        const double copied = double(timer.nsecsElapsed()) / 1000.0;
        if (comparison) {
            comparison->direct.push_back(direct);
            comparison->relayed.push_back(relayed);
            comparison->copied.push_back(copied);
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestEnvironment env;
    ServerRunner server(env);
    BlockingClient client;
    QString error;
    if (!client.launchAndConnect(env, server, error)) {
        out << error << Qt::endl;
        return 1;
    }
    Relay relay;
    if (!relay.start(env.processEnvironment(), TestEnvironment::binary(QStringLiteral("lumen_sci")))) {
        out << "cannot start lumen_sci" << Qt::endl;
        return 1;
    }
    // Two more wake-ups of a process per call, the least any relay adds on this machine.
    Relay copier;
    if (!copier.start(env.processEnvironment(), QStringLiteral("/bin/cat"))) {
        out << "cannot start cat" << Qt::endl;
        return 1;
    }

    int id = 0;
    out << "One call, straight to the server and through lumen_sci, " << rounds * callsPerRound
        << " calls each, taking turns" << Qt::endl;
    for (const char *method : {"Live.GetVersion", "system.describe"}) {
        Comparison comparison;
        bool done = measure(client, relay, copier, method, warmUpCalls, nullptr, id);
        const double relayBefore = relay.processorUs();
        for (int round = 0; done && round < rounds; ++round) {
            done = measure(client, relay, copier, method, callsPerRound, &comparison, id);
        }
        const double relayPerCall = (relay.processorUs() - relayBefore) / (rounds * callsPerRound);
        if (!done) {
            out << method << ": a call failed" << Qt::endl;
            return 1;
        }
        const double direct = percentile(comparison.direct, 0.5);
        const double relayed = percentile(comparison.relayed, 0.5);
        out << "  " << qSetFieldWidth(16) << Qt::left << method << qSetFieldWidth(0) << "direct p50 " << direct
            << " us, p90 " << percentile(comparison.direct, 0.9) << " us; relay p50 " << relayed << " us, p90 "
            << percentile(comparison.relayed, 0.9) << " us; relay/direct " << relayed / direct << Qt::endl;
        out << "  " << qSetFieldWidth(16) << "" << qSetFieldWidth(0) << "the relay's own processor time: "
            << relayPerCall << " us per call" << Qt::endl;
        const double copied = percentile(comparison.copied, 0.5);
        out << "  " << qSetFieldWidth(16) << "" << qSetFieldWidth(0) << "the same frame through cat and back: p50 "
            << copied << " us, so no relay process gets below " << (direct + copied) / direct
            << "x here; lumen_sci adds " << relayed - direct - copied << " us more" << Qt::endl;
    }
    server.stop(SIGTERM);
    return 0;
}

// Fills a display range with sessions: starts as many sessions as the range has displays (or the
// number given), one after another, with the stand-in agent of tests/fixtures, and reports every
// start that failed, what the display search skipped and why (from the server's log), and how many
// viewer ports of displays without a session could not be bound (by a socket in TIME_WAIT, typically,
// which keeps its local port for a minute): the agent could not listen there. That count is taken
// before every start; the largest is printed.
//
//   bench_display_search [sessions [display limit [runs]]]      defaults: 100 100 3
//
// Prints its figures; never fails on timing, but returns 1 when a start failed.

#include "bench/blocking_client.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>
#include <QUuid>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

constexpr int displayBase = 500;
constexpr int viewerPortBase = 41000;

// What holds a local port: each socket of /proc/net/tcp bound to it, as "<state> to <remote port>"
// (state 06 is TIME_WAIT, 01 ESTABLISHED, 0A LISTEN).
QStringList holdersOf(int port)
{
    QStringList holders;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine(); // the heading
        while (!file.atEnd()) {
            const QStringList fields = QString::fromLatin1(file.readLine()).simplified().split(QLatin1Char(' '));
            if (fields.size() >= 4 && fields[1].section(QLatin1Char(':'), 1).toInt(nullptr, 16) == port) {
                holders << QStringLiteral("state %1 to port %2")
                               .arg(fields[3])
                               .arg(fields[2].section(QLatin1Char(':'), 1).toInt(nullptr, 16));
            }
        }
    }
    return holders;
}

// The ports of [first, end), other than the `taken` ones, that a listener with address reuse (as the
// agent's) cannot bind, each with what holds it: each keeps the agent of a display that is otherwise
// free from starting.
QStringList unbindablePortsIn(int first, int end, const QSet<int> &taken)
{
    QStringList blocked;
    for (int port = first; port < end; ++port) {
        if (taken.contains(port)) {
            continue;
        }
        const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            blocked << QStringLiteral("%1 (%2)").arg(port).arg(holdersOf(port).join(QStringLiteral(", ")));
        }
        ::close(descriptor);
    }
    return blocked;
}

bool call(BlockingClient &client, int id, const char *method, const QByteArray &params, QByteArray &answer)
{
    const QByteArray number = QByteArray::number(id);
    client.send("{\"id\":" + number + ",\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"params\":" + params
                + "}\n");
    return client.waitFor("\"id\":" + number + ",", 60000, &answer) && answer.contains("\"result\":");
}

// One run: returns the number of failed starts.
int fillRange(int sessions, int limit, int run)
{
    TestEnvironment env;
    env.setSetting("DisplayBase", displayBase);
    env.setSetting("DisplayLimit", limit);
    env.setSetting("LogLevel", "Debug2");
    ServerRunner server(env);
    BlockingClient client;
    QString error;
    if (!client.launchAndConnect(env, server, error)) {
        out << error << Qt::endl;
        return sessions;
    }
    QStringList ids;
    QSet<int> ports;
    QStringList mostBlocked;
    int failed = 0;
    QElapsedTimer timer;
    timer.start();
    int callId = 0;
    for (int i = 0; i < sessions; ++i) {
        const int viewerFirst = viewerPortBase + displayBase;
        const QStringList blocked = unbindablePortsIn(viewerFirst, viewerFirst + limit, ports);
        if (blocked.size() > mostBlocked.size()) {
            mostBlocked = blocked;
        }
        const QByteArray id = QUuid::createUuid().toString(QUuid::Id128).toLatin1();
        QByteArray answer;
        if (call(client, ++callId, "Live.Start", "[\"" + id + "\",\"xterm\",\"800x600\"]", answer)) {
            ids << QString::fromLatin1(id);
            static const QRegularExpression portMember(QStringLiteral("\"port\":(\\d+)"));
            ports << portMember.match(QString::fromLatin1(answer)).captured(1).toInt();
        } else {
            ++failed;
            out << "  start " << i + 1 << " failed: " << answer << Qt::endl;
        }
    }
    const qint64 elapsed = timer.elapsed();

    // Why displays were passed over, as the server logged it.
    QMap<QString, int> reasons;
    static const QRegularExpression skip(QStringLiteral("Display \\d+ skipped: (.*)$"));
    static const QRegularExpression quoted(QStringLiteral("\"[^\"]*\""));
    for (const QString &line : server.log().split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = skip.match(line);
        if (match.hasMatch()) {
            ++reasons[match.captured(1).replace(quoted, QStringLiteral("\"*\""))];
        }
    }
    for (const QString &id : ids) {
        QByteArray answer;
        call(client, ++callId, "Live.Terminate", "[\"" + id.toLatin1() + "\"]", answer);
    }
    server.stop(SIGTERM);

    out << "run " << run << ": " << ids.size() << " of " << sessions << " started in " << elapsed << " ms ("
        << (sessions > 0 ? elapsed / sessions : 0) << " ms each), DisplayLimit " << limit << "; "
        << "at most " << mostBlocked.size() << " viewer ports of free displays could not be bound before a start"
        << Qt::endl;
    for (const QString &port : std::as_const(mostBlocked)) {
        out << "  port " << port << Qt::endl;
    }
    for (auto reason = reasons.constBegin(); reason != reasons.constEnd(); ++reason) {
        out << "  skipped " << reason.value() << "x: " << reason.key() << Qt::endl;
    }
    return failed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int sessions = arguments.size() > 1 ? arguments[1].toInt() : 100;
    const int limit = arguments.size() > 2 ? arguments[2].toInt() : sessions;
    const int runs = arguments.size() > 3 ? arguments[3].toInt() : 3;
    int failed = 0;
    for (int run = 1; run <= runs; ++run) {
        failed += fillRange(sessions, limit, run);
    }
    out << failed << " failed starts in " << runs << " runs" << Qt::endl;
    return failed == 0 ? 0 : 1;
}

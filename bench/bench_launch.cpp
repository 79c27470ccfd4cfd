// The launch steps of a session start, the way the server did them before and does them now, side
// by side in one process: the X authority entries (two runs of "xauth", one run reading both
// commands) and a detached start of a launcher (QProcess::startDetached, which forks twice, against
// one posix_spawn). Each figure is the time the calling thread spends, p50 and max over the runs.
// Also checks that both ways leave the same authority file. Prints; never fails on timing.

#include "server/process/child_reaper.h"
#include "server/process/process_spawner.h"
#include "server/session/x_authority.h"
#include "server/session/xauth_standby.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

QTextStream out(stdout);

constexpr int runs = 40;

struct Timing
{
    double p50;
    double max;
};

// `before`, when given, runs ahead of each timed step, outside its time.
Timing timeRuns(const std::function<bool(int)> &step, const std::function<void()> &before = {})
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        if (before) {
            before();
        }
        QElapsedTimer timer;
        timer.start();
        if (!step(run)) {
            return {-1, -1};
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.back()};
}

void print(const char *what, const Timing &before, const Timing &after)
{
    out << "  " << qSetFieldWidth(30) << Qt::left << what << qSetFieldWidth(0) << "before p50 " << before.p50
        << " ms (max " << before.max << "), now p50 " << after.p50 << " ms (max " << after.max << ")" << Qt::endl;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 residentKiB()
{
    for (const QByteArray &line : readAll(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid()) {
        return 1;
    }
    const QString cookie = QStringLiteral("0123456789abcdef0123456789abcdef");
    const QString host = QHostInfo::localHostName() + QStringLiteral(":150");
    const auto sessionDir = [&root](const char *kind, int run) {
        const QString dir = root.filePath(QStringLiteral("sessions/%1-%2").arg(QLatin1String(kind)).arg(run));
        QDir().mkpath(dir);
        return dir;
    };

    out << "Launch steps, " << runs << " runs each (this process: " << residentKiB() / 1024 << " MiB resident)"
        << Qt::endl;
    const Timing twoRuns = timeRuns([&](int run) {
        QString error;
        const QString dir = sessionDir("two", run);
        const bool local = addAuthorityEntry(dir, QStringLiteral("unix:150"), cookie, error);
        return local && addAuthorityEntry(dir, host, cookie, error);
    });
    const Timing oneRun = timeRuns([&](int run) {
        QString error;
        QString hostError;
        return addAuthorityEntries(sessionDir("one", run), QStringLiteral("unix:150"), host, cookie, error, hostError)
            && hostError.isEmpty();
    });
    print("X authority entries", twoRuns, oneRun);
    // As a server does it: an "xauth" waits for each start, made ready in the time between starts.
    XauthStandby &standby = XauthStandby::global();
    standby.setEnabled(true);
    const QString standbyFolder = root.filePath(QStringLiteral("xauth_standby"));
    const Timing waiting = timeRuns(
        [&](int run) {
            QString error;
            QString hostError;
            return addAuthorityEntries(sessionDir("standby", run), QStringLiteral("unix:150"), host, cookie, error,
                                       hostError)
                && hostError.isEmpty();
        },
        [&] {
            standby.prepare(standbyFolder);
            for (int wait = 0; wait < 500 && !standby.isReady(standbyFolder); ++wait) {
                QThread::msleep(2);
            }
            // Started is not yet loaded: starts come further apart than the loading takes.
            QThread::msleep(30);
        });
    standby.setEnabled(false);
    print("X authority, xauth waiting", oneRun, waiting);
    const QByteArray oneFile = readAll(sessionDir("one", 0) + QStringLiteral("/authority"));
    const bool same = readAll(sessionDir("two", 0) + QStringLiteral("/authority")) == oneFile
        && readAll(sessionDir("standby", 1) + QStringLiteral("/authority")) == oneFile;
    out << "    the same authority file all three ways: " << (same ? "yes" : "NO") << "; runs by a waiting xauth: "
        << standby.standbyRuns() << " of " << runs << Qt::endl;

    const QString program = QStringLiteral("true");
    const Timing detached = timeRuns([&](int) {
        qint64 pid = 0;
        return QProcess::startDetached(program, {}, root.path(), &pid);
    });
    const Timing spawned = timeRuns([&](int) {
        qint64 pid = 0;
        QString error;
        return spawnDetached(program, {}, root.path(), pid, error);
    });
    print("detached start of a program", detached, spawned);
    for (int wait = 0; wait < 100 && ChildReaper::global().pendingCount() > 0; ++wait) {
        QThread::msleep(10);
    }
    out << "    spawned children not yet waited for after 1 s: " << ChildReaper::global().pendingCount() << Qt::endl;
    return 0;
}

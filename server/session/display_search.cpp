#include "server/session/display_search.h"

#include "common/logging.h"
#include "common/regular_file.h"
#include "server/session/agent_contract.h"
#include "server/session/port_probe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr int x11PortBase = 6000;
// An X lock file holds a process id in eleven characters.
constexpr qint64 lockFileLimit = 64;

QString systemError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

// Whether something accepts connections on the Unix socket at the path. Only a refusal (no listener,
// or no socket at all) counts as nobody there; a full queue or any other failure counts as someone.
bool socketAnswers(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (native.size() >= qsizetype(sizeof address.sun_path)) {
        return true;
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return true;
    }
    const bool refused = ::connect(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        && (errno == ECONNREFUSED || errno == ENOENT || errno == ENOTSOCK || errno == EPROTOTYPE);
    ::close(descriptor);
    return !refused;
}

// Whether an X server listens on the display's abstract socket. Unlike the socket file it is seen
// from every mount namespace (a batch job's private /tmp hides another job's files), though only
// within one network namespace, which every job of a host shares.
bool abstractX11SocketAnswers(const QString &number)
{
    const QByteArray name = QByteArrayLiteral("/tmp/.X11-unix/X") + number.toLatin1();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size())); // sun_path[0] = 0: abstract
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return true;
    }
    const bool refused = ::connect(descriptor, reinterpret_cast<const sockaddr *>(&address), length) != 0
        && errno == ECONNREFUSED;
    ::close(descriptor);
    return !refused;
}

// A socket file of an X server or an agent: an obstacle while something answers on it, or when it
// belongs to another user (in the sticky /tmp nobody else can replace it).
QString socketFileObstacle(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return errno == ENOENT ? QString() : QStringLiteral("\"%1\" cannot be looked at: %2").arg(path, systemError(errno));
    }
    if (socketAnswers(path)) {
        return QStringLiteral("something answers on \"%1\"").arg(path);
    }
    if (info.st_uid != ::geteuid()) {
        return QStringLiteral("\"%1\" is left over from another user").arg(path);
    }
    return QString();
}

// The X server's lock file: it gives up while the process named there runs (or the file cannot be
// read), and replaces a lock whose process has ended, if it may.
QString lockFileObstacle(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return errno == ENOENT ? QString() : QStringLiteral("\"%1\" cannot be looked at: %2").arg(path, systemError(errno));
    }
    RegularFile file;
    QByteArray text;
    QString error;
    if (!file.open(path, error) || !file.read(0, lockFileLimit, text, error)) {
        return QStringLiteral("the lock file cannot be read: %1").arg(error);
    }
    bool isNumber = false;
    const int pid = text.trimmed().toInt(&isNumber);
    if (!isNumber || pid <= 0) {
        return QStringLiteral("the lock file \"%1\" holds no process id").arg(path);
    }
    if (::kill(pid, 0) == 0 || errno == EPERM) {
        return QStringLiteral("the lock file \"%1\" names the running process \"%2\"").arg(path).arg(pid);
    }
    if (info.st_uid != ::geteuid()) {
        return QStringLiteral("the lock file \"%1\" is left over from another user").arg(path);
    }
    return QString();
}
}

QString displayObstacle(quint16 display)
{
    // The bind comes first: it costs no connection and turns down every display an agent runs on.
    const quint16 viewerPort = AgentContract::viewerPort(display);
    QString reason;
    if (!isPortBindable(viewerPort, &reason)) {
        return QStringLiteral("the viewer port \"%1\" cannot be bound: %2").arg(viewerPort).arg(reason);
    }
    const QString number = QString::number(display);
    reason = lockFileObstacle(QStringLiteral("/tmp/.X%1-lock").arg(number));
    // The X server makes its socket in /tmp whatever TMPDIR says; the folder TMPDIR names is looked
    // at too, as some X servers follow it.
    const QString x11Socket = QStringLiteral(".X11-unix/X%1").arg(number);
    QStringList folders = {QStringLiteral("/tmp")};
    if (QDir::tempPath() != folders.first()) {
        folders.prepend(QDir::tempPath());
    }
    for (const QString &folder : std::as_const(folders)) {
        if (reason.isEmpty()) {
            reason = socketFileObstacle(QDir(folder).filePath(x11Socket));
        }
    }
    if (reason.isEmpty() && abstractX11SocketAnswers(number)) {
        reason = QStringLiteral("an X server listens on the abstract socket \"@/tmp/%1\"").arg(x11Socket);
    }
    if (reason.isEmpty()) {
        reason = socketFileObstacle(AgentContract::infoSocketPath(display));
    }
    if (reason.isEmpty() && !isPortFree(quint16(x11PortBase + display))) {
        reason = QStringLiteral("the X11 port \"%1\" is in use").arg(x11PortBase + display);
    }
    return reason;
}

bool findFreeDisplay(quint16 first, quint16 end, quint16 &display, const DisplayClaim &claim)
{
    const int last = qMin(int(end) - 1, AgentContract::highestDisplay);
    for (int candidate = first; candidate <= last; ++candidate) {
        QString reason = displayObstacle(quint16(candidate));
        if (reason.isEmpty() && claim && !claim(quint16(candidate))) {
            reason = QStringLiteral("a session of this server, or another start on this host, has it");
        }
        if (reason.isEmpty()) {
            // An information socket left by an agent that ended would be taken for the new agent's
            // until that one replaces it: it goes now.
            const QString infoSocket = AgentContract::infoSocketPath(quint16(candidate));
            if (QFileInfo(infoSocket).isSymLink() || QFileInfo::exists(infoSocket)) {
                if (socketFileObstacle(infoSocket).isEmpty()) {
                    QFile::remove(infoSocket);
                }
            }
            display = quint16(candidate);
            return true;
        }
        logMessage(Logging::Debug2, QStringLiteral("Display %1 skipped: %2").arg(candidate).arg(reason));
    }
    return false;
}

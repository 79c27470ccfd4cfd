#include "private_sshd.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

namespace {

const char *const sshdProgram = "/usr/sbin/sshd";

// The variables a login over ssh takes from the test's world.
const char *const loginVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR", "USER", "TZ", "PATH",
                                      "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

bool run(const QString &program, const QStringList &arguments, QString &error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        return true;
    }
    error = program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll()) + process.errorString();
    return false;
}

} // namespace

PrivateSshd::~PrivateSshd()
{
    stop();
}

bool PrivateSshd::createKeys(const QString &directory, QString &error)
{
    for (const char *name : {"host_key", "client_key"}) {
        if (!run(QStringLiteral("ssh-keygen"),
                 {"-q", "-t", "ed25519", "-N", "", "-C", "lumen-test", "-f", directory + QLatin1Char('/') + name},
                 error)) {
            return false;
        }
    }
    if (!QFile::copy(directory + QStringLiteral("/client_key.pub"), directory + QStringLiteral("/authorized_keys"))) {
        error = QStringLiteral("cannot write authorized_keys");
        return false;
    }
    // sshd refuses to start without its privilege separation directory.
    if (!QDir().mkpath(QStringLiteral("/run/sshd"))) {
        error = QStringLiteral("cannot create /run/sshd");
        return false;
    }
    return true;
}

bool PrivateSshd::start(const QString &directory, const QString &address, quint16 port,
                        const QProcessEnvironment &loginEnvironment, const QStringList &launcher, QString &error)
{
    QStringList settings;
    for (const char *name : loginVariables) {
        const QString key = QString::fromLatin1(name);
        if (loginEnvironment.contains(key)) {
            settings << QLatin1Char('"') + key + QLatin1Char('=') + loginEnvironment.value(key) + QLatin1Char('"');
        }
    }
    const QString configPath = QStringLiteral("%1/sshd_config_%2_%3").arg(directory, address).arg(port);
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1").arg(configPath);
        return false;
    }
    config.write(QStringLiteral("Port %1\n"
                                "ListenAddress %2\n"
                                "HostKey %3/host_key\n"
                                "PidFile %4.pid\n"
                                "AuthorizedKeysFile %3/authorized_keys\n"
                                "UsePAM no\n"
                                "StrictModes no\n"
                                "PermitRootLogin yes\n"
                                "PubkeyAuthentication yes\n"
                                "PasswordAuthentication no\n"
                                "KbdInteractiveAuthentication no\n"
                                "SetEnv %5\n")
                     .arg(port)
                     .arg(address, directory, configPath, settings.join(QLatin1Char(' ')))
                     .toLocal8Bit());
    config.close();

    QStringList command = launcher;
    command << QString::fromLatin1(sshdProgram) << QStringLiteral("-D") << QStringLiteral("-e") << QStringLiteral("-f")
            << configPath;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted(10000)) {
        error = QStringLiteral("sshd could not be started: %1").arg(process.errorString());
        return false;
    }
    // sshd says so once it listens; that works inside another network namespace too.
    const QByteArray ready = QStringLiteral("Server listening on %1 port %2").arg(address).arg(port).toLatin1();
    QDeadlineTimer deadline(10000);
    while (!output.contains(ready)) {
        if (deadline.hasExpired() || process.state() != QProcess::Running) {
            output += process.readAll();
            error = QStringLiteral("sshd did not listen on %1:%2: %3").arg(address).arg(port).arg(QString::fromLocal8Bit(output));
            return false;
        }
        process.waitForReadyRead(100);
        output += process.readAll();
    }
    return true;
}

void PrivateSshd::stop()
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QString PrivateSshd::sshCommand(const QString &directory)
{
    return QStringLiteral("ssh -F /dev/null -i %1/client_key -o IdentitiesOnly=yes -o BatchMode=yes "
                          "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR")
        .arg(directory);
}

QString PrivateSshd::loginName()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

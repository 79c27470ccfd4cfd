// lumen_sci as a remote client really reaches it: through ssh, here a private OpenSSH server on
// loopback with its own host key and authorized key.

#include "tests/support/relay_process.h"
#include "tests/support/server_runner.h"
#include "tests/support/test_environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {

const char *const sshdProgram = "/usr/sbin/sshd";

QString loginName()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

// Runs a helper program to its end; its output becomes `log` for failure messages.
bool run(const QString &program, const QStringList &arguments, QByteArray &log)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    log = process.readAll();
    if (!ok && log.isEmpty()) {
        log = process.errorString().toLocal8Bit();
    }
    return ok;
}

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

} // namespace

class TestSciSsh : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(sshDir.isValid());
        // sshd refuses to start without its privilege separation directory.
        QVERIFY2(QDir().mkpath(QStringLiteral("/run/sshd")), "Cannot create /run/sshd for sshd");
        QByteArray log;
        for (const char *name : {"host_key", "client_key"}) {
            QVERIFY2(run(QStringLiteral("ssh-keygen"),
                         {"-q", "-t", "ed25519", "-N", "", "-C", "lumen-test", "-f", sshDir.filePath(name)}, log),
                     log.constData());
        }
        QVERIFY(QFile::copy(sshDir.filePath("client_key.pub"), sshDir.filePath("authorized_keys")));

        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
        probe.close();
        QFile config(sshDir.filePath("sshd_config"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("Port %1\n"
                                    "ListenAddress 127.0.0.1\n"
                                    "HostKey %2/host_key\n"
                                    "PidFile %2/sshd.pid\n"
                                    "AuthorizedKeysFile %2/authorized_keys\n"
                                    "UsePAM no\n"
                                    "StrictModes no\n"
                                    "PermitRootLogin yes\n"
                                    "PubkeyAuthentication yes\n"
                                    "PasswordAuthentication no\n"
                                    "KbdInteractiveAuthentication no\n")
                         .arg(port)
                         .arg(sshDir.path())
                         .toLocal8Bit());
        config.close();

        sshd.setProcessChannelMode(QProcess::MergedChannels);
        sshd.start(QString::fromLatin1(sshdProgram), {"-D", "-e", "-f", config.fileName()});
        QVERIFY2(sshd.waitForStarted(10000),
                 qPrintable(QStringLiteral("sshd could not be started: %1").arg(sshd.errorString())));
        QDeadlineTimer deadline(10000);
        bool listening = false;
        while (!listening && sshd.state() == QProcess::Running && !deadline.hasExpired()) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            listening = socket.waitForConnected(500);
            if (!listening) {
                QThread::msleep(50);
            }
        }
        if (!listening) {
            sshd.waitForFinished(100);
            QFAIL(qPrintable(QStringLiteral("sshd did not start listening on 127.0.0.1:%1: %2")
                                 .arg(port)
                                 .arg(QString::fromLocal8Bit(sshd.readAll()))));
        }
    }

    void relaysThroughSsh()
    {
        TestEnvironment env;
        ServerRunner server(env);
        // sshd hands the session a fresh environment; the test's own comes along on the command line.
        const QProcessEnvironment local = env.processEnvironment();
        QStringList command = {QStringLiteral("env")};
        for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR", "USER", "TZ", "PATH"}) {
            command << quoted(QString::fromLatin1(name) + QLatin1Char('=') + local.value(QString::fromLatin1(name)));
        }
        command << QStringLiteral("lumen_sci");

        RelayProcess ssh;
        QVERIFY(ssh.start(QStringLiteral("ssh"),
                          {"-F", "/dev/null", "-i", sshDir.filePath("client_key"), "-p", QString::number(port), "-o",
                           "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
                           "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
                           loginName() + QStringLiteral("@127.0.0.1"), command.join(QLatin1Char(' '))},
                          QProcessEnvironment::systemEnvironment()));
        ssh.sendFrame(RelayProcess::request("7"));
        QByteArray payload;
        QVERIFY2(ssh.readFrame(payload, 60000),
                 qPrintable(QString::fromLocal8Bit(ssh.standardError() + "\nsshd: " + sshd.readAll())));
        QVERIFY2(payload.startsWith(R"({"id":7,"jsonrpc":"2.0","result":{)"), payload.constData());
        QVERIFY2(payload.contains(R"("system.describe":)"), payload.constData());
        QVERIFY(server.isRunning());

        ssh.closeInput();
        int status = -1;
        QVERIFY(ssh.waitForExit(status, 20000));
        QCOMPARE(status, 0);
        const QString errors = QString::fromLocal8Bit(ssh.standardError());
        QVERIFY2(errors.contains(QStringLiteral(" Info: Exiting the sci\n")), qPrintable(errors));
    }

    void cleanupTestCase()
    {
        if (sshd.state() != QProcess::NotRunning) {
            sshd.terminate();
            if (!sshd.waitForFinished(5000)) {
                sshd.kill();
                sshd.waitForFinished(5000);
            }
        }
    }

private:
    QTemporaryDir sshDir;
    QProcess sshd;
    quint16 port = 0;
};

QTEST_GUILESS_MAIN(TestSciSsh)
#include "tst_sci_ssh.moc"

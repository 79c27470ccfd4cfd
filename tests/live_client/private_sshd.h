#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// An OpenSSH server of the test's own, as a remote host offers one: its host key, one authorized
// client key, and the environment of the test's private world for every login (sshd's SetEnv), so
// that the programs run over ssh never touch the real user's files. The destructor stops it.
class PrivateSshd
{
public:
    PrivateSshd() = default;
    ~PrivateSshd();

    PrivateSshd(const PrivateSshd &) = delete;
    PrivateSshd &operator=(const PrivateSshd &) = delete;

    // Makes the host key, the client key and the authorized keys in `directory`, once for all
    // servers that share it.
    static bool createKeys(const QString &directory, QString &error);

    // Listens on `address`:`port`. `launcher` runs sshd elsewhere, e.g. {"ip", "netns", "exec", NAME}.
    bool start(const QString &directory, const QString &address, quint16 port,
               const QProcessEnvironment &loginEnvironment, const QStringList &launcher, QString &error);
    void stop();

    // ssh with the client key and without the user's configuration or known hosts.
    static QString sshCommand(const QString &directory);
    static QString loginName();

private:
    QProcess process;
    QByteArray output;
};

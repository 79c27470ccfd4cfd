#pragma once

#include <QString>
#include <QUrl>

// The host a command talks to, as the user named it: "local" (the relay of this machine), "host",
// "user@host", or an ssh URL "ssh://user@host:port/lumen_sci" as a session's "location" holds it.
class HostTarget
{
public:
    static bool parse(const QString &text, HostTarget &target, QString &error);
    // The host that owns a session, from the session's location; fails for anything but an ssh URL.
    static bool fromLocation(const QUrl &location, HostTarget &target, QString &error);

    bool isLocal() const { return local; }
    // How the user named the host, for messages and for the commands the client suggests.
    QString name() const { return text; }
    // The machine alone, without user, port or relay: what the session table shows.
    QString hostName() const;

    // What ssh is given to reach the host: the destination ("user@host" or "host"), the port (0
    // for ssh's own choice) and the program that runs there.
    QString sshDestination() const { return destination; }
    int sshPort() const { return port; }
    QString relayProgram() const { return relay; }

private:
    bool local = false;
    QString text;
    QString destination;
    QString host;
    int port = 0;
    QString relay;
};

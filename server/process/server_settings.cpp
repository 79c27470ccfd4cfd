#include "server/process/server_settings.h"

#include "common/path_template.h"
#include "common/settings.h"

#include <QHostInfo>

#include <limits>

quint16 ServerSettings::displayEnd() const
{
    return quint16(qMin<uint>(uint(displayBase) + displayLimit, std::numeric_limits<quint16>::max()));
}

ServerSettings ServerSettings::read()
{
    ServerSettings s;
    s.userPath = Settings::userPath();
    s.logPath = Settings::userFile(s.userPath, QStringLiteral("server_log"));
    s.logLevelName = Settings::logLevelName();
    s.pidPath = Settings::userFile(s.userPath, QStringLiteral("server_pid"));
    s.certificatePath = Settings::userFile(s.userPath, QStringLiteral("../server_cert"));
    s.keyPath = Settings::userFile(s.userPath, QStringLiteral("../server_key"));
    s.sessionsPath = Settings::userFile(s.userPath, QStringLiteral("sessions"));
    s.displayBase = Settings::unsignedShort(QStringLiteral("DisplayBase"), 100);
    s.displayLimit = Settings::unsignedShort(QStringLiteral("DisplayLimit"), 100);
    s.hostName = QHostInfo::localHostName();
    const QString defaultSciUrl = QStringLiteral("ssh://%1@%2:22/lumen_sci")
                                      .arg(QString::fromLocal8Bit(qgetenv("USER")), s.hostName);
    s.sciUrl = expandPathTemplate(Settings::text(QStringLiteral("SciUrl"), defaultSciUrl));
    s.suspendTimeout = Settings::signedInt(QStringLiteral("SuspendTimeout"), -1);
    s.listenPort = Settings::unsignedShort(QStringLiteral("ListenPort"), 0);
    s.portPath = Settings::userFile(s.userPath, QStringLiteral("server_port"));
    s.broadcastPort = Settings::unsignedShort(QStringLiteral("BroadcastPort"), 0);
    s.broadcastAddress = Settings::text(QStringLiteral("BroadcastAddress"), QStringLiteral("255.255.255.255"));
    s.peers = Settings::list(QStringLiteral("Peers"));
    s.viewersFromNetwork = Settings::boolean(QStringLiteral("ViewersFromNetwork"), false);
    return s;
}

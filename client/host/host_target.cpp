#include "client/host/host_target.h"

#include <QHostInfo>

namespace {

const QString defaultRelay = QStringLiteral("lumen_sci");

// A destination handed to ssh as one argument: no white space or control characters, and no
// leading '-', which ssh would read as an option.
bool isPlainDestination(const QString &text)
{
    if (text.isEmpty() || text.startsWith(QLatin1Char('-'))) {
        return false;
    }
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char('/')) {
            return false;
        }
    }
    return true;
}

// The program that runs on the host goes through the remote shell: plain path characters only.
bool isPlainProgramPath(const QString &path)
{
    for (const QChar c : path) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !QStringLiteral("/._+-").contains(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool HostTarget::parse(const QString &text, HostTarget &target, QString &error)
{
    HostTarget parsed;
    parsed.text = text;
    if (text == QLatin1String("local")) {
        parsed.local = true;
        parsed.host = QHostInfo::localHostName();
        parsed.relay = defaultRelay;
        target = parsed;
        return true;
    }
    if (text.startsWith(QLatin1String("ssh://"), Qt::CaseInsensitive)) {
        if (!fromLocation(QUrl(text, QUrl::StrictMode), parsed, error)) {
            return false;
        }
        parsed.text = text;
        target = parsed;
        return true;
    }
    if (!isPlainDestination(text)) {
        error = QStringLiteral("\"%1\" is not a host: give user@host, host, an ssh:// URL or local").arg(text);
        return false;
    }
    parsed.destination = text;
    parsed.host = text.mid(text.lastIndexOf(QLatin1Char('@')) + 1);
    parsed.relay = defaultRelay;
    target = parsed;
    return true;
}

bool HostTarget::fromLocation(const QUrl &location, HostTarget &target, QString &error)
{
    const QString user = location.userName();
    const QString host = location.host();
    if (!location.isValid() || location.scheme().compare(QLatin1String("ssh"), Qt::CaseInsensitive) != 0
        || host.isEmpty() || !isPlainDestination(host) || (!user.isEmpty() && !isPlainDestination(user))) {
        error = QStringLiteral("\"%1\" is not an ssh URL of the form ssh://user@host:port/lumen_sci")
                    .arg(location.toString());
        return false;
    }
    QString path = location.path();
    if (path.startsWith(QLatin1Char('/'))) {
        path.remove(0, 1);
    }
    if (!isPlainProgramPath(path)) {
        error = QStringLiteral("\"%1\" does not name a program that can run on the host").arg(location.toString());
        return false;
    }
    HostTarget parsed;
    parsed.text = location.toString();
    // An IPv6 address goes to ssh bare, without the brackets of the URL.
    parsed.destination = user.isEmpty() ? host : user + QLatin1Char('@') + host;
    parsed.host = host;
    parsed.port = location.port(0);
    parsed.relay = path.isEmpty() ? defaultRelay : path;
    target = parsed;
    return true;
}

QString HostTarget::hostName() const
{
    return host;
}

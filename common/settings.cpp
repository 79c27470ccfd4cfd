#include "common/settings.h"

#include "common/path_template.h"

#include <QDir>
#include <QSettings>
#include <QVariant>

#include <limits>

namespace {
const char *const organisation = "Orvane";
const char *const application = "Lumen Server";

QVariant readValue(const QString &key, const QVariant &defaultValue)
{
    QSettings settings(QString::fromLatin1(organisation), QString::fromLatin1(application));
    return settings.value(key, defaultValue);
}
}

QString Settings::text(const QString &key, const QString &defaultValue)
{
    return readValue(key, defaultValue).toString();
}

quint16 Settings::unsignedShort(const QString &key, quint16 defaultValue)
{
    const uint value = readValue(key, uint(defaultValue)).toUInt();
    return quint16(qMin<uint>(value, std::numeric_limits<quint16>::max()));
}

qint32 Settings::signedInt(const QString &key, qint32 defaultValue)
{
    return readValue(key, defaultValue).toInt();
}

QStringList Settings::list(const QString &key)
{
    const QVariant value = readValue(key, QVariant());
    // Several comma-separated values are read as a list; one alone, or a quoted one, as text.
    const QStringList raw = value.userType() == QMetaType::QStringList
                                ? value.toStringList()
                                : value.toString().split(QLatin1Char(','));
    QStringList entries;
    for (const QString &entry : raw) {
        if (!entry.trimmed().isEmpty()) {
            entries << entry.trimmed();
        }
    }
    return entries;
}

bool Settings::boolean(const QString &key, bool defaultValue)
{
    const QString value = text(key).trimmed().toLower();
    if (value == QLatin1String("true") || value == QLatin1String("yes") || value == QLatin1String("on")
        || value == QLatin1String("1")) {
        return true;
    }
    if (value == QLatin1String("false") || value == QLatin1String("no") || value == QLatin1String("off")
        || value == QLatin1String("0")) {
        return false;
    }
    return defaultValue;
}

QString Settings::userPath()
{
    const QString fallback = QDir::homePath() + QStringLiteral("/.lumen_server/@HOST@");
    return expandPathTemplate(text(QStringLiteral("UserPath"), fallback));
}

QString Settings::logLevelName()
{
    return text(QStringLiteral("LogLevel"));
}

QString Settings::userFile(const QString &userPath, const QString &name)
{
    return userPath + QLatin1Char('/') + name;
}

#include "client/command_line/client_settings.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString slurmOptionsKey = QStringLiteral("SlurmOptions");

// An unquoted INI value with commas reads as a list: the options are one text again.
QString textOf(const QVariant &value)
{
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

} // namespace

QString ClientSettings::path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Orvane/lumen.conf");
}

QString ClientSettings::slurmOptions(const QString &hostAsNamed, const QString &machine)
{
    const QSettings settings(path(), QSettings::IniFormat);
    for (const QString &group : {hostAsNamed, machine}) {
        const QString key = group + QLatin1Char('/') + slurmOptionsKey;
        if (!group.isEmpty() && settings.contains(key)) {
            return textOf(settings.value(key));
        }
    }
    return textOf(settings.value(slurmOptionsKey));
}

#pragma once

#include <QString>
#include <QStringList>

// Reads the per-user settings store ("Orvane", "Lumen Server"). Every read opens the store afresh;
// nothing in the system writes to it.
class Settings
{
public:
    // A text key, or the default when the key is absent.
    static QString text(const QString &key, const QString &defaultValue = QString());
    // Number keys convert like a variant would: a value that is not a number gives 0, not the
    // default. Values above the type's range are clamped to its largest value.
    static quint16 unsignedShort(const QString &key, quint16 defaultValue);
    static qint32 signedInt(const QString &key, qint32 defaultValue);
    // A list key: the INI file gives one entry or several separated by commas. Entries come back
    // trimmed, empty ones left out; an absent key gives an empty list.
    static QStringList list(const QString &key);
    // "true", "yes", "on" or "1" (in any case) is true, "false", "no", "off" or "0" false; any other
    // value gives the default, so that a typing error never turns on what is off by default.
    static bool boolean(const QString &key, bool defaultValue);

    // "UserPath", template-expanded; by default the host's folder inside ~/.lumen_server.
    static QString userPath();
    static QString logLevelName();

    // Joins a name to the user path as a directory, without normalising ("../server_cert" stays).
    static QString userFile(const QString &userPath, const QString &name);
};

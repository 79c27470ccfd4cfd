#include "tests/support/test_environment.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QSettings>

namespace {
QAtomicInt environmentCounter;
}

TestEnvironment::TestEnvironment()
    : dir(QDir::tempPath() + "/lumen-test-XXXXXX")
{
    const QString base = dir.path();
    for (const char *sub : {"home", "config", "runtime", "tmp"}) {
        QDir().mkpath(base + "/" + sub);
    }
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    userName = QString("lt%1x%2").arg(QCoreApplication::applicationPid()).arg(environmentCounter.fetchAndAddRelaxed(1));
    pathEntries << QString(LUMEN_FIXTURES_DIR) << QString(LUMEN_BIN_DIR);
    QDir().mkpath(configHome() + "/Orvane");
}

bool TestEnvironment::isValid() const { return dir.isValid(); }
QString TestEnvironment::root() const { return dir.path(); }
QString TestEnvironment::home() const { return dir.path() + "/home"; }
QString TestEnvironment::configHome() const { return dir.path() + "/config"; }
QString TestEnvironment::runtimeDir() const { return dir.path() + "/runtime"; }
QString TestEnvironment::tmpDir() const { return dir.path() + "/tmp"; }
QString TestEnvironment::user() const { return userName; }
void TestEnvironment::setUser(const QString &user) { userName = user; }

QString TestEnvironment::userPath() const
{
    if (!customUserPath.isEmpty()) {
        return customUserPath;
    }
    return home() + "/.lumen_server/" + QHostInfo::localHostName();
}

QString TestEnvironment::userFile(const QString &name) const
{
    return userPath() + "/" + name;
}

bool TestEnvironment::createUserPath() const
{
    return QDir().mkpath(userPath());
}

QString TestEnvironment::settingsFile() const
{
    return configHome() + "/Orvane/Lumen Server.conf";
}

void TestEnvironment::setSetting(const QString &key, const QVariant &value)
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    if (key == "UserPath") {
        customUserPath = value.toString();
    }
}

void TestEnvironment::removeSetting(const QString &key)
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    settings.remove(key);
    settings.sync();
    if (key == "UserPath") {
        customUserPath.clear();
    }
}

void TestEnvironment::prependPath(const QString &directory)
{
    pathEntries.prepend(directory);
}

void TestEnvironment::setVariable(const QString &name, const QString &value)
{
    extra.insert(name, value);
    removed.removeAll(name);
}

void TestEnvironment::unsetVariable(const QString &name)
{
    extra.remove(name);
    removed << name;
}

QProcessEnvironment TestEnvironment::processEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home());
    env.insert("XDG_CONFIG_HOME", configHome());
    env.insert("XDG_RUNTIME_DIR", runtimeDir());
    env.insert("TMPDIR", tmpDir());
    env.insert("USER", userName);
    env.insert("TZ", "UTC");
    env.insert("PATH", pathEntries.join(':') + ":" + env.value("PATH"));
    env.remove("RX_FORCE_EXIT");
    for (const QString &key : extra.keys()) {
        env.insert(key, extra.value(key));
    }
    for (const QString &key : removed) {
        env.remove(key);
    }
    return env;
}

QString TestEnvironment::binary(const QString &name)
{
    return QString(LUMEN_BIN_DIR) + "/" + name;
}

QString TestEnvironment::fixture(const QString &name)
{
    return QString(LUMEN_FIXTURES_DIR) + "/" + name;
}

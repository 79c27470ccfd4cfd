#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

// A private world for one black-box test: its own HOME, configuration, runtime and temporary
// folders, a USER name nobody else uses (so single-instance locks never collide), and a PATH that
// finds the built programs and the test fixtures before anything on the machine.
class TestEnvironment
{
public:
    TestEnvironment();

    bool isValid() const;
    QString root() const;
    QString home() const;
    QString configHome() const;
    QString runtimeDir() const;
    QString tmpDir() const;
    QString user() const;
    void setUser(const QString &user);

    // Where the server keeps its files with the default "UserPath" (HOME/.lumen_server/<host>).
    QString userPath() const;
    QString userFile(const QString &name) const;
    bool createUserPath() const;

    QString settingsFile() const;
    void setSetting(const QString &key, const QVariant &value);
    void removeSetting(const QString &key);

    void prependPath(const QString &directory);
    void setVariable(const QString &name, const QString &value);
    void unsetVariable(const QString &name);
    QProcessEnvironment processEnvironment() const;

    static QString binary(const QString &name);
    static QString fixture(const QString &name);

private:
    QTemporaryDir dir;
    QString userName;
    QString customUserPath;
    QStringList pathEntries;
    QProcessEnvironment extra;
    QStringList removed;
};

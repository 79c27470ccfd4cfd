#pragma once

#include <QJsonObject>
#include <QPoint>
#include <QProcess>
#include <QSize>
#include <QString>

// Debian's chromium, headless, driven through tests/support/headless_browser.py (python3-selenium
// and chromium-driver): opens pages in tabs and acts on noVNC's page as a user would. Every call
// blocks with a time limit; a failed one leaves its reason in error().
class HeadlessBrowser
{
public:
    ~HeadlessBrowser();

    // Starts chromium without waiting for it, which takes a few seconds.
    void launch(const QProcessEnvironment &environment);
    // False with the reason when chromium cannot start here: the test skips then.
    bool waitUntilStarted(QString &reason);

    // Opens the address in a new tab, which becomes the current one.
    bool open(const QString &address);
    // The <html> classes of the current page once it has settled (neither loading nor connecting).
    QString settledClasses(int timeoutMs = 30000);
    bool isConnected(int timeoutMs = 30000) { return settledClasses(timeoutMs).split(' ').contains("noVNC_connected"); }
    // The size of noVNC's canvas; `matching` counts its pixels of the colour ("#rrggbb").
    QSize canvas(const QString &colour, int &matching);
    bool typeAt(const QPoint &point, const QString &text);
    bool setClipboard(const QString &text);
    QString clipboard();
    // Closes the current tab; the one opened before becomes current.
    bool closeTab();

    QString error() const { return lastError; }

private:
    QJsonObject call(QJsonObject command, int timeoutMs = 30000);
    bool readAnswer(QJsonObject &answer, int timeoutMs);

    QProcess process;
    QByteArray pending;
    QString lastError;
    bool started = false;
};

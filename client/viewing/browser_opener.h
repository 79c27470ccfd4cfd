#pragma once

#include <QString>

// Opens an address in the user's web browser: the first command of $BROWSER that is installed (a
// list separated by ':', as other programs read it; "%s" stands for the address, which is
// otherwise added as the last argument), else xdg-open. The browser runs on after the client ends.
class BrowserOpener
{
public:
    // False with `problem` when no browser command could be started.
    static bool open(const QString &address, QString &problem);
};

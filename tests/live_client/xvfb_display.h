#pragma once

#include <QColor>
#include <QImage>
#include <QProcess>
#include <QString>

// A virtual X display (Xvfb) for the viewers of a test, on a display number Xvfb chooses itself,
// and screenshots of its whole screen (ImageMagick's import). The destructor stops it.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    bool start(QString &error);
    QString name() const { return QStringLiteral(":%1").arg(number); }

    // The screen as it is now; also saved to `path` when that is not empty.
    QImage screenshot(const QString &path = QString()) const;
    // Pixels within a small distance of the colour (a viewer's encoding may shift it a little).
    static int pixelsOf(const QImage &image, const QColor &colour);

private:
    QProcess process;
    int number = -1;
};

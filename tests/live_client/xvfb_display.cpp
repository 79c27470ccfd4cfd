#include "xvfb_display.h"

#include <QDeadlineTimer>
#include <QTemporaryFile>

XvfbDisplay::~XvfbDisplay()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

bool XvfbDisplay::start(QString &error)
{
    // -displayfd: Xvfb takes the first free display and writes its number to standard output once
    // it is ready for clients. -noreset keeps it from resetting whenever its last client leaves.
    process.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                           QStringLiteral("tcp"), QStringLiteral("-noreset"), QStringLiteral("-screen"),
                                           QStringLiteral("0"), QStringLiteral("1024x768x24")});
    if (!process.waitForStarted(10000)) {
        error = QStringLiteral("Xvfb could not be started (package xvfb): %1").arg(process.errorString());
        return false;
    }
    QByteArray output;
    QDeadlineTimer deadline(20000);
    while (!output.contains('\n')) {
        if (deadline.hasExpired() || process.state() != QProcess::Running) {
            error = QStringLiteral("Xvfb did not start: %1").arg(QString::fromLocal8Bit(process.readAllStandardError()));
            return false;
        }
        process.waitForReadyRead(100);
        output += process.readAllStandardOutput();
    }
    bool isNumber = false;
    number = output.trimmed().toInt(&isNumber);
    if (!isNumber) {
        error = QStringLiteral("Xvfb reported no display number: %1").arg(QString::fromLocal8Bit(output));
        return false;
    }
    return true;
}

QImage XvfbDisplay::screenshot(const QString &path) const
{
    QTemporaryFile file(QStringLiteral("XXXXXX.png"));
    if (!file.open()) {
        return QImage();
    }
    const QString target = path.isEmpty() ? file.fileName() : path;
    QProcess import;
    import.start(QStringLiteral("import"),
                 {QStringLiteral("-display"), name(), QStringLiteral("-window"), QStringLiteral("root"),
                  QStringLiteral("png:") + target});
    if (!import.waitForFinished(20000) || import.exitCode() != 0) {
        return QImage();
    }
    return QImage(target);
}

int XvfbDisplay::pixelsOf(const QImage &image, const QColor &colour)
{
    constexpr int tolerance = 12;
    int count = 0;
    const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < pixels.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            if (qAbs(qRed(line[x]) - colour.red()) <= tolerance && qAbs(qGreen(line[x]) - colour.green()) <= tolerance
                && qAbs(qBlue(line[x]) - colour.blue()) <= tolerance) {
                ++count;
            }
        }
    }
    return count;
}

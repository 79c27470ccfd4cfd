#include "tests/support/headless_browser.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

namespace {

// Starting chromium takes a few seconds, much more on a machine under load.
constexpr int startTimeoutMs = 90000;

} // namespace

HeadlessBrowser::~HeadlessBrowser()
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    // The end of its input makes the helper quit chromium and remove its profile.
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void HeadlessBrowser::launch(const QProcessEnvironment &environment)
{
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(LUMEN_SOURCE_DIR "/tests/support/headless_browser.py")});
}

bool HeadlessBrowser::waitUntilStarted(QString &reason)
{
    if (started) {
        return true;
    }
    QJsonObject first;
    if (!process.waitForStarted(10000) || !readAnswer(first, startTimeoutMs)) {
        reason = QStringLiteral("the browser helper did not start: ") + lastError;
        return false;
    }
    if (!first.value(QStringLiteral("ok")).toBool()) {
        reason = first.value(QStringLiteral("skip")).toString();
        return false;
    }
    started = true;
    return true;
}

bool HeadlessBrowser::readAnswer(QJsonObject &answer, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int lineEnd;
    while ((lineEnd = pending.indexOf('\n')) < 0) {
        if (process.state() == QProcess::NotRunning) {
            lastError = QStringLiteral("the browser helper ended");
            return false;
        }
        if (deadline.hasExpired()) {
            lastError = QStringLiteral("no answer from the browser helper within %1 ms").arg(timeoutMs);
            return false;
        }
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        pending += process.readAllStandardOutput();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(pending.left(lineEnd), &parseError);
    pending.remove(0, lineEnd + 1);
    if (!document.isObject()) {
        lastError = QStringLiteral("the browser helper answered no object: ") + parseError.errorString();
        return false;
    }
    answer = document.object();
    return true;
}

QJsonObject HeadlessBrowser::call(QJsonObject command, int timeoutMs)
{
    process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    QJsonObject answer;
    if (!readAnswer(answer, timeoutMs)) {
        return {};
    }
    if (!answer.value(QStringLiteral("ok")).toBool()) {
        lastError = answer.value(QStringLiteral("error")).toString();
        return {};
    }
    return answer;
}

bool HeadlessBrowser::open(const QString &address)
{
    return !call({{"command", "open"}, {"address", address}}, 60000).isEmpty();
}

QString HeadlessBrowser::settledClasses(int timeoutMs)
{
    return call({{"command", "state"}, {"timeout", timeoutMs / 1000.0}}, timeoutMs + 10000)
        .value(QStringLiteral("classes"))
        .toString();
}

QSize HeadlessBrowser::canvas(const QString &colour, int &matching)
{
    const QJsonObject answer = call({{"command", "canvas"}, {"colour", colour}});
    matching = answer.value(QStringLiteral("matching")).toInt();
    return QSize(answer.value(QStringLiteral("width")).toInt(), answer.value(QStringLiteral("height")).toInt());
}

bool HeadlessBrowser::typeAt(const QPoint &point, const QString &text)
{
    return !call({{"command", "type"}, {"x", point.x()}, {"y", point.y()}, {"text", text}}).isEmpty();
}

bool HeadlessBrowser::setClipboard(const QString &text)
{
    return !call({{"command", "setClipboard"}, {"text", text}}).isEmpty();
}

QString HeadlessBrowser::clipboard()
{
    return call({{"command", "clipboard"}}).value(QStringLiteral("text")).toString();
}

bool HeadlessBrowser::closeTab()
{
    return !call({{"command", "closeTab"}}).isEmpty();
}

#include "job/job_options.h"

#include "server/session/session_id.h"

#include <QRegularExpression>

namespace {

bool isGeometry(const QString &text)
{
    static const QRegularExpression size(QStringLiteral("^[1-9][0-9]{0,4}x[1-9][0-9]{0,4}$"));
    return text == QLatin1String("rootless") || size.match(text).hasMatch();
}

} // namespace

QString JobOptions::usage()
{
    return QStringLiteral("Usage: lumen-job --id ID --geometry WxH|rootless [--] COMMAND\n"
                          "Runs a desktop session inside a batch job: the session lives as long as the job, and\n"
                          "the job as long as the session. The client lumen submits it (lumen HOST start --slurm).\n");
}

bool JobOptions::parse(const QStringList &arguments, JobOptions &options, QString &error)
{
    JobOptions parsed;
    QStringList positional;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            positional << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.help = true;
            continue;
        }
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        QString value;
        if (argument.contains(QLatin1Char('='))) {
            value = argument.section(QLatin1Char('='), 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i);
        } else {
            error = QStringLiteral("The option %1 needs a value").arg(name);
            return false;
        }
        if (name == QLatin1String("--id")) {
            parsed.id = value;
        } else if (name == QLatin1String("--geometry")) {
            parsed.sessionGeometry = value;
        } else {
            error = QStringLiteral("Unknown option %1").arg(name);
            return false;
        }
    }
    if (parsed.help) {
        options = parsed;
        return true;
    }
    if (!isValidSessionId(parsed.id)) {
        error = QStringLiteral("The session id \"%1\" is not 32 hexadecimal digits").arg(parsed.id);
        return false;
    }
    if (!isGeometry(parsed.sessionGeometry)) {
        error = QStringLiteral("The geometry \"%1\" is neither WxH nor rootless").arg(parsed.sessionGeometry);
        return false;
    }
    if (positional.size() != 1 || positional.first().trimmed().isEmpty()) {
        error = QStringLiteral("One command line is needed, got %1 arguments").arg(positional.size());
        return false;
    }
    parsed.application = positional.first();
    options = parsed;
    return true;
}

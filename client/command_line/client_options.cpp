#include "client/command_line/client_options.h"

#include "client/command_line/shell_words.h"

#include <QProcess>
#include <QRegularExpression>

namespace {

// The screen sizes a session's X server takes, each side in pixels.
constexpr int smallestSide = 16;
constexpr int largestSide = 8192;

// Options that take a value, and the commands each option belongs to.
const QStringList valueOptions = {QStringLiteral("--ssh"), QStringLiteral("--viewer"), QStringLiteral("--geometry")};

QStringList commandsOf(const QString &option)
{
    if (option == QLatin1String("--ssh") || option == QLatin1String("--direct")) {
        return ClientOptions::commands();
    }
    if (option == QLatin1String("--json")) {
        return {QStringLiteral("list"), QStringLiteral("watch")};
    }
    if (option == QLatin1String("--geometry") || option == QLatin1String("--rootless")
        || option == QLatin1String("--slurm")) {
        return {QStringLiteral("start")};
    }
    if (option == QLatin1String("--no-viewer") || option == QLatin1String("--viewer")
        || option == QLatin1String("--browser")) {
        return {QStringLiteral("start"), QStringLiteral("attach")};
    }
    if (option == QLatin1String("--no-takeover")) {
        return {QStringLiteral("attach")};
    }
    return {};
}

} // namespace

QStringList ClientOptions::commands()
{
    return {QStringLiteral("list"), QStringLiteral("start"), QStringLiteral("attach"), QStringLiteral("suspend"),
            QStringLiteral("terminate"), QStringLiteral("watch")};
}

bool ClientOptions::parse(const QStringList &arguments, ClientOptions &options, QString &error)
{
    ClientOptions parsed;
    // With --help the command may come without a host ("lumen start --help").
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--")) {
            break;
        }
        parsed.help = parsed.help || argument == QLatin1String("--help") || argument == QLatin1String("-h");
    }
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        // Everything after the application's first word belongs to the application.
        if (!parsed.application.isEmpty()) {
            parsed.application << argument;
            continue;
        }
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            const int equals = argument.indexOf(QLatin1Char('='));
            const QString name = equals > 0 ? argument.left(equals) : argument;
            const bool hasInlineValue = equals > 0;
            const QString value = hasInlineValue ? argument.mid(equals + 1) : arguments.value(i + 1);
            bool usedValue = false;
            if (!hasInlineValue && valueOptions.contains(name) && i + 1 >= arguments.size()) {
                error = QStringLiteral("%1 needs a value.").arg(name);
                return false;
            }
            if (!parsed.takeOption(name, value, hasInlineValue, usedValue, error)) {
                return false;
            }
            if (usedValue && !hasInlineValue) {
                ++i;
            }
            continue;
        }
        if (parsed.hostText.isEmpty() && !(parsed.help && commands().contains(argument))) {
            parsed.hostText = argument;
        } else if (parsed.commandName.isEmpty()) {
            parsed.commandName = argument;
        } else if (parsed.commandName == QLatin1String("start")) {
            parsed.application << argument;
        } else {
            parsed.extra << argument;
        }
    }
    if (parsed.help || parsed.version) {
        options = parsed;
        return true;
    }
    if (!parsed.check(error)) {
        return false;
    }
    options = parsed;
    return true;
}

bool ClientOptions::takeOption(const QString &name, const QString &value, bool hasInlineValue, bool &usedValue,
                               QString &error)
{
    static const QStringList flags = {QStringLiteral("--help"),      QStringLiteral("-h"),
                                      QStringLiteral("--version"),   QStringLiteral("--rootless"),
                                      QStringLiteral("--json"),      QStringLiteral("--no-viewer"),
                                      QStringLiteral("--no-takeover"), QStringLiteral("--browser"),
                                      QStringLiteral("--direct")};
    // --slurm takes its value only as --slurm=OPTIONS: a word after it is the application.
    if (name == QLatin1String("--slurm")) {
        inJob = true;
        slurmOptionsGiven = hasInlineValue;
        if (hasInlineValue) {
            QString problem;
            if (!splitShellWords(value, sbatchOptions, problem)) {
                error = QStringLiteral("--slurm takes sbatch's options as a shell would split them: %1.").arg(problem);
                return false;
            }
        }
        given << name;
        return true;
    }
    const bool takesValue = valueOptions.contains(name);
    if (!takesValue && !flags.contains(name)) {
        error = QStringLiteral("Unknown option %1.").arg(name);
        return false;
    }
    if (hasInlineValue && !takesValue) {
        error = QStringLiteral("%1 takes no value.").arg(name);
        return false;
    }
    usedValue = takesValue;
    if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
        help = true;
    } else if (name == QLatin1String("--version")) {
        version = true;
    } else if (name == QLatin1String("--ssh") || name == QLatin1String("--viewer")) {
        const QStringList words = QProcess::splitCommand(value);
        if (words.isEmpty()) {
            error = QStringLiteral("%1 needs a command.").arg(name);
            return false;
        }
        (name == QLatin1String("--ssh") ? ssh : viewer) = words;
    } else if (name == QLatin1String("--geometry")) {
        static const QRegularExpression size(QStringLiteral("^([0-9]{1,6})x([0-9]{1,6})$"));
        const QRegularExpressionMatch sides = size.match(value);
        const auto fits = [&sides](int side) {
            const int length = sides.captured(side).toInt();
            return length >= smallestSide && length <= largestSide;
        };
        if (!sides.hasMatch() || !fits(1) || !fits(2)) {
            error = QStringLiteral("--geometry takes the screen size as WIDTHxHEIGHT, each from %1 to %2, for "
                                   "example 1280x800, not \"%3\".")
                        .arg(smallestSide)
                        .arg(largestSide)
                        .arg(value);
            return false;
        }
        sessionGeometry = value;
        geometryGiven = true;
    } else if (name == QLatin1String("--rootless")) {
        rootless = true;
    } else if (name == QLatin1String("--json")) {
        jsonOutput = true;
    } else if (name == QLatin1String("--no-viewer")) {
        withoutViewer = true;
    } else if (name == QLatin1String("--browser")) {
        inBrowser = true;
    } else if (name == QLatin1String("--no-takeover")) {
        withoutTakeover = true;
    } else if (name == QLatin1String("--direct")) {
        straight = true;
    }
    given << name;
    return true;
}

bool ClientOptions::check(QString &error) const
{
    if (hostText.isEmpty()) {
        error = QStringLiteral("Name a host and a command, for example: lumen me@host list");
        return false;
    }
    if (commandName.isEmpty()) {
        error = QStringLiteral("Name a command after the host: %1.").arg(commands().join(QStringLiteral(", ")));
        return false;
    }
    if (!commands().contains(commandName)) {
        error = QStringLiteral("Unknown command \"%1\"; the commands are %2.")
                    .arg(commandName, commands().join(QStringLiteral(", ")));
        return false;
    }
    for (const QString &option : given) {
        if (!commandsOf(option).contains(commandName)) {
            error = QStringLiteral("%1 is not an option of %2.").arg(option, commandName);
            return false;
        }
    }
    if (int(inBrowser) + int(withoutViewer) + int(given.contains(QStringLiteral("--viewer"))) > 1) {
        error = QStringLiteral("Give one of --browser, --viewer and --no-viewer, not several.");
        return false;
    }
    if (rootless && geometryGiven) {
        error = QStringLiteral("Give either --geometry or --rootless, not both.");
        return false;
    }
    const bool needsId = commandName == QLatin1String("suspend") || commandName == QLatin1String("terminate");
    const int allowedIds = needsId || commandName == QLatin1String("attach") ? 1 : 0;
    if (extra.size() > allowedIds) {
        error = QStringLiteral("Too many arguments for %1: \"%2\".").arg(commandName, extra.join(QLatin1Char(' ')));
        return false;
    }
    if (needsId && extra.isEmpty()) {
        error = QStringLiteral("Name the session to %1: lumen %2 %1 ID (see the ids with: lumen %2 list)")
                    .arg(commandName, hostText);
        return false;
    }
    if (commandName == QLatin1String("start") && applicationCommand().trimmed().isEmpty()) {
        error = QStringLiteral("Name the application to start, for example: lumen %1 start xterm").arg(hostText);
        return false;
    }
    return true;
}

QString ClientOptions::applicationCommand() const
{
    // One word is a whole shell command line ("xterm -bg black" quoted as one argument works);
    // several words are taken each as it is.
    if (application.size() == 1) {
        return application.first();
    }
    return shellCommand(application);
}

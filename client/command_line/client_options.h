#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for: `lumen [--ssh CMD] HOST COMMAND [OPTIONS] [ARGUMENTS]`.
class ClientOptions
{
public:
    // Fails with a message for the user when the line cannot be understood.
    static bool parse(const QStringList &arguments, ClientOptions &options, QString &error);
    static QStringList commands();

    bool wantsHelp() const { return help; }
    bool wantsVersion() const { return version; }
    QString host() const { return hostText; }
    QString command() const { return commandName; }
    // The session id (or its beginning) for attach, suspend and terminate; may be empty for attach.
    QString sessionId() const { return extra.value(0); }

    QStringList sshCommand() const { return ssh; }
    QStringList viewerCommand() const { return viewer; }
    bool json() const { return jsonOutput; }
    bool noViewer() const { return withoutViewer; }
    // The session in a web browser instead of a viewer program.
    bool browser() const { return inBrowser; }
    bool noTakeover() const { return withoutTakeover; }
    // Sessions on other hosts reached straight, not through HOST.
    bool direct() const { return straight; }
    // start --slurm: the session in a batch job. Without a value the options come from the settings.
    bool slurm() const { return inJob; }
    bool hasSlurmOptions() const { return slurmOptionsGiven; }
    QStringList slurmOptions() const { return sbatchOptions; }
    // "WxH" or "rootless".
    QString geometry() const { return rootless ? QStringLiteral("rootless") : sessionGeometry; }
    // The application of a new session as the one command line that the host's shell runs.
    QString applicationCommand() const;

private:
    bool takeOption(const QString &name, const QString &value, bool hasInlineValue, bool &usedValue,
                    QString &error);
    bool check(QString &error) const;

    bool help = false;
    bool version = false;
    QString hostText;
    QString commandName;
    QStringList extra;
    QStringList application;
    QStringList ssh;
    QStringList viewer;
    bool jsonOutput = false;
    bool withoutViewer = false;
    bool inBrowser = false;
    bool withoutTakeover = false;
    bool straight = false;
    bool inJob = false;
    bool slurmOptionsGiven = false;
    QStringList sbatchOptions;
    bool rootless = false;
    QString sessionGeometry = QStringLiteral("1280x800");
    bool geometryGiven = false;
    QStringList given; // the options used, to check them against the command
};

// lumen-job: a desktop session inside a batch job. The batch script of `lumen HOST start --slurm`
// runs it on the node the job was given; it makes the session there as the node's server would,
// with every process of it in the job, keeps a server on the node while the session runs, and ends
// the session with the job and the job with the session. Its log goes to standard error: the job's
// output file.

#include "common/application_identity.h"
#include "common/logging.h"
#include "common/settings.h"
#include "common/stderr_logging.h"
#include "job/batch_job.h"
#include "job/job_environment.h"
#include "job/job_options.h"
#include "job/orphan_reaper.h"
#include "server/process/server_settings.h"
#include "server/process/signal_catcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Clears the process-wide logger pointer before the logger itself goes.
struct LoggerInstallation
{
    ~LoggerInstallation() { Logging::setInstance(nullptr); }
};

int fail(const QString &message)
{
    logMessage(Logging::Critical, message);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    ::umask(077);
    QCoreApplication app(argc, argv);
    setApplicationIdentity();

    StderrLogging logger;
    Logging::setInstance(&logger);
    LoggerInstallation loggerInstallation;
    logger.setLevel(Logging::levelFromName(Settings::logLevelName()));

    const QStringList arguments = app.arguments().mid(1);
    if (arguments == QStringList{QStringLiteral("--version")}) {
        std::printf("lumen-job %s\n", applicationVersion);
        return 0;
    }
    JobOptions options;
    QString error;
    if (!JobOptions::parse(arguments, options, error)) {
        std::fprintf(stderr, "lumen-job: %s\n%s", qPrintable(error), qPrintable(JobOptions::usage()));
        return 2;
    }
    if (options.wantsHelp()) {
        std::printf("%s", qPrintable(JobOptions::usage()));
        return 0;
    }
    const QString jobId = qEnvironmentVariable("SLURM_JOB_ID");
    if (jobId.isEmpty()) {
        logMessage(Logging::Warning, QStringLiteral("Not in a Slurm job (no SLURM_JOB_ID): the session ends with this process"));
    }

    // Before anything is started: what the session leaves behind when its parents end stays ours.
    if (!OrphanReaper::becomeSubreaper()) {
        logMessage(Logging::Warning, QStringLiteral("Failed to become the subreaper of the session"));
    }
    JobEnvironment environment(QProcessEnvironment::systemEnvironment());
    if (!environment.prepare(jobId, error)) {
        return fail(error);
    }
    for (const QString &change : environment.changes()) {
        logMessage(Logging::Info, change);
    }
    // The launchers inherit this process's environment.
    for (const char *name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const QString value = environment.session().value(QLatin1String(name));
        if (!value.isEmpty()) {
            qputenv(name, QFile::encodeName(value));
        }
    }

    const ServerSettings settings = ServerSettings::read();
    if (!QDir(settings.userPath).exists() && !QDir().mkpath(settings.userPath)) {
        return fail(QStringLiteral("Failed to create the server directory \"%1\"").arg(settings.userPath));
    }

    // Signals arrive from the first moment: a job may be cancelled while its session starts.
    int signalSockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0) {
        return fail(QStringLiteral("Failed to setup signal handling: %1").arg(qt_error_string(errno)));
    }
    ::fcntl(signalSockets[0], F_SETFL, O_NONBLOCK);
    signalWriteFd = signalSockets[0];
    SignalCatcher catcher(signalSockets[1]);
    installSignalHandlers({SIGTERM, SIGINT, SIGHUP, SIGUSR1});

    BatchJob job(settings, options, jobId, environment.server());
    QObject::connect(&catcher, &SignalCatcher::gotSig, &job, [&job](int signal) {
        job.requestStop(signal == SIGUSR1 ? QStringLiteral("the job's time is nearly up")
                                          : QStringLiteral("got SIG%1").arg(SignalCatcher::signalName(signal)));
    });
    QObject::connect(&job, &BatchJob::finished, &app, &QCoreApplication::exit);
    QTimer::singleShot(0, &job, &BatchJob::begin);
    return app.exec();
}

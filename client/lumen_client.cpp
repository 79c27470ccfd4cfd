#include "client/lumen_client.h"

#include "client/batch/job_wait.h"
#include "client/batch/slurm_commands.h"
#include "client/batch/slurm_submission.h"
#include "client/command_line/client_settings.h"
#include "client/command_line/console.h"
#include "client/command_line/interrupt_watcher.h"
#include "client/command_line/shell_words.h"
#include "client/host/failure_text.h"
#include "client/host/remote_command.h"
#include "client/host/rpc_connection.h"
#include "client/sessions/session_attacher.h"
#include "client/sessions/session_catalog.h"
#include "client/sessions/session_changes.h"
#include "client/sessions/session_jobs.h"
#include "client/sessions/session_table.h"
#include "client/sessions/session_ticket.h"
#include "client/viewing/session_presenter.h"
#include "client/viewing/viewing_session.h"
#include "common/json_text.h"
#include "common/netstring.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

// Starting a session waits for its X server and its first password: up to half a minute.
constexpr int startTimeoutMs = 120000;
constexpr int callTimeoutMs = 60000;
// The server's answer for a session id it does not know.
constexpr int noSuchSession = -32094;
// A line typed at the session picker is never longer than an id.
constexpr int longestAnswer = 256;
// The ssh control socket's path must fit a Unix socket address with ssh's suffix added.
constexpr int longestControlDirectory = 60;

// A session id as the server takes it: 32 hexadecimal digits, from the system's random source.
QString newSessionId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString id;
    for (const quint32 word : words) {
        id += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    }
    return id;
}

Json::Value idParameter(const QString &id)
{
    Json::Value params(Json::arrayValue);
    params.append(id.toStdString());
    return params;
}

SessionEntryList entriesOf(const Json::Value &records)
{
    SessionEntryList entries;
    if (records.isArray()) {
        for (const Json::Value &value : records) {
            SessionEntry entry;
            if (SessionEntry::fromJson(value, entry)) {
                entries << entry;
            }
        }
    }
    return entries;
}

// The user's jobs on the host, where it has Slurm; nothing (and not a word) where it has none.
SlurmJobList jobsOn(const HostCommands &commands)
{
    constexpr int queueTimeoutMs = 20000;
    RemoteCommand squeue(commands.shell(SlurmCommands::userJobs()));
    if (squeue.run(QByteArray(), queueTimeoutMs) != RemoteCommand::Finished || squeue.exitCode() != 0) {
        return {};
    }
    return SlurmJob::fromQueue(QString::fromUtf8(squeue.output()));
}

bool cancelJob(const HostCommands &commands, const QString &jobId, QString &problem)
{
    constexpr int cancelTimeoutMs = 45000;
    RemoteCommand scancel(commands.shell(SlurmCommands::cancel(jobId)));
    if (scancel.run(QByteArray(), cancelTimeoutMs) != RemoteCommand::Finished || scancel.exitCode() != 0) {
        problem = scancel.lastErrorLine();
        return false;
    }
    return true;
}

bool isJobId(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    return digits.match(text).hasMatch();
}

} // namespace

LumenClient::LumenClient(const ClientOptions &options)
    : options(options)
{
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [this] { interrupted = true; });
}

LumenClient::~LumenClient() = default;

int LumenClient::run()
{
    QString problem;
    if (!HostTarget::parse(options.host(), host, problem)) {
        Console::error(problem);
        return ClientError::Usage;
    }
    ClientError error;
    const QString command = options.command();
    if (command == QLatin1String("list")) {
        error = list();
    } else if (command == QLatin1String("start")) {
        error = start();
    } else if (command == QLatin1String("attach")) {
        error = attach();
    } else if (command == QLatin1String("watch")) {
        error = watch();
    } else {
        error = suspendOrTerminate();
    }
    if (error.isError()) {
        Console::error(error.message());
    }
    return error.status();
}

ClientError LumenClient::list()
{
    const std::unique_ptr<RpcConnection> connection = connectTo(host);
    SessionCatalog catalog;
    ClientError error;
    if (!catalog.load(*connection, error)) {
        return error;
    }
    const SessionJobs jobs(catalog.records(), jobsOn(connection->hostCommands()));
    connection->close();
    if (options.json()) {
        Console::print(QString::fromUtf8(compactJson(jobs.annotate(catalog.records()))));
    } else if (catalog.entries().isEmpty() && jobs.waiting().isEmpty()) {
        Console::print(QStringLiteral("No sessions on %1.").arg(host.name()));
    } else {
        Console::print(SessionTable(host.hostName(), catalog.shortIdLength()).format(catalog.entries(), &jobs));
    }
    return ClientError();
}

ClientError LumenClient::start()
{
    ClientError error;
    const std::unique_ptr<SessionPresenter> presenter = SessionPresenter::forOptions(options);
    if (!presenter->check(error)) {
        return error;
    }
    const QString id = newSessionId();
    Json::Value params(Json::arrayValue);
    params.append(id.toStdString());
    params.append(options.applicationCommand().toStdString());
    params.append(options.geometry().toStdString());
    // The server takes no request longer than this: refused here, where the reason can be told.
    const int requestSize = RpcConnection::encodeRequest(1, QStringLiteral("Live.Start"), params).size();
    if (requestSize > netStringPayloadLimit) {
        return ClientError(ClientError::Usage,
                           QStringLiteral("The command is too long: a request to the server holds at most %1 bytes, "
                                          "and this one would hold %2. Put a long command into a script on the host "
                                          "and start that.")
                               .arg(netStringPayloadLimit)
                               .arg(requestSize));
    }
    QStringList sbatchOptions;
    if (options.slurm() && !slurmOptions(sbatchOptions, error)) {
        return error;
    }
    if (options.geometry() == QLatin1String("rootless")) {
        Console::progress(QStringLiteral("Note: the reference launchers of lumen-server show a rootless session as a "
                                         "1024x768 desktop."));
    }

    const std::unique_ptr<RpcConnection> connection = connectTo(host);
    Json::Value result;
    RpcError failure;
    // Nothing is started before the host has answered at all.
    if (!connection->call(QStringLiteral("Live.GetVersion"), Json::Value(), result, failure, callTimeoutMs)) {
        return describeFailure(failure, host.name(), QString());
    }
    if (options.slurm()) {
        return startInJob(*presenter, *connection, id, sbatchOptions);
    }
    Console::progress(QStringLiteral("Starting session %1 on %2...").arg(id.left(8), host.name()));
    const bool started = connection->call(QStringLiteral("Live.Start"), params, result, failure, startTimeoutMs);
    if (interrupted) {
        return endInterruptedStart(*connection, id);
    }
    if (!started) {
        return describeFailure(failure, host.name(), id);
    }
    SessionTicket ticket;
    if (!SessionTicket::fromResult(result, ticket)) {
        return ClientError(ClientError::Unreachable,
                           QStringLiteral("%1 answered Live.Start with something lumen cannot read: do the versions "
                                          "of lumen and lumen-server match?")
                               .arg(host.name()));
    }
    return show(*presenter, *connection, id, ticket, true);
}

bool LumenClient::slurmOptions(QStringList &sbatchOptions, ClientError &error) const
{
    if (options.hasSlurmOptions()) {
        sbatchOptions = options.slurmOptions();
        return true;
    }
    QString problem;
    if (!splitShellWords(ClientSettings::slurmOptions(host.name(), host.hostName()), sbatchOptions, problem)) {
        error = ClientError(ClientError::Usage, QStringLiteral("SlurmOptions in %1 are sbatch's options as a shell would "
                                                               "split them: %2.")
                                                    .arg(ClientSettings::path(), problem));
        return false;
    }
    return true;
}

ClientError LumenClient::startInJob(SessionPresenter &presenter, RpcConnection &connection, const QString &sessionId, const QStringList &sbatchOptions)
{
    ClientError error;
    QString jobId;
    SlurmSubmission submission(connection.hostCommands(), host.name(), interrupts);
    if (!submission.submit(sessionId, options.geometry(), options.applicationCommand(), sbatchOptions, jobId, error)) {
        return error;
    }
    Console::progress(QStringLiteral("Submitted job %1 on %2 for session %3; Ctrl+C cancels it.")
                          .arg(jobId, host.name(), sessionId.left(8)));
    SessionEntry entry;
    {
        JobWait wait(connection, interrupts, jobId, sessionId);
        if (!wait.wait(entry, error)) {
            return error;
        }
    }
    std::unique_ptr<RpcConnection> other;
    RpcConnection *owner = nullptr;
    if (!ownerOf(entry, connection, other, owner, error)) {
        return error;
    }
    SessionTicket ticket;
    const bool attached = SessionAttacher(*owner, sessionId, false).attach(ticket, error);
    if (interrupted) {
        // Not shown yet: the session goes again, and with it its job.
        return endInterruptedStart(*owner, sessionId);
    }
    if (!attached) {
        return error;
    }
    if (owner != &connection) {
        connection.close();
    }
    return show(presenter, *owner, sessionId, ticket, true);
}

ClientError LumenClient::endInterruptedStart(RpcConnection &connection, const QString &sessionId)
{
    const QString shortId = sessionId.left(8);
    // Requests of one connection are answered in order: this one waits for the start to be done.
    Console::progress(QStringLiteral("Interrupted: ending session %1 on %2 again (Ctrl+C once more leaves it)...")
                          .arg(shortId, host.name()));
    interrupted = false;
    Json::Value result;
    RpcError failure;
    if (connection.call(QStringLiteral("Live.Terminate"), idParameter(sessionId), result, failure, startTimeoutMs)
        || (failure.kind == RpcError::Server && failure.code == noSuchSession)) {
        connection.close();
        return ClientError(ClientError::Interrupted,
                           QStringLiteral("Interrupted; session %1 was ended again.").arg(shortId));
    }
    connection.abort();
    return ClientError(ClientError::Interrupted,
                       QStringLiteral("Interrupted; session %1 on %2 may still be running. End it with: lumen %2 "
                                      "terminate %1")
                           .arg(shortId, host.name()));
}

ClientError LumenClient::attach()
{
    ClientError error;
    const std::unique_ptr<SessionPresenter> presenter = SessionPresenter::forOptions(options);
    if (!presenter->check(error)) {
        return error;
    }
    const std::unique_ptr<RpcConnection> connection = connectTo(host);
    SessionCatalog catalog;
    SessionEntry entry;
    if (!catalog.load(*connection, error) || !chooseSession(catalog, entry, error)) {
        return error;
    }
    std::unique_ptr<RpcConnection> other;
    RpcConnection *owner = nullptr;
    if (!ownerOf(entry, *connection, other, owner, error)) {
        return error;
    }
    SessionTicket ticket;
    if (!SessionAttacher(*owner, entry.id(), !options.noTakeover()).attach(ticket, error)) {
        return error;
    }
    if (owner != connection.get()) {
        connection->close();
    }
    return show(*presenter, *owner, entry.id(), ticket, false);
}

ClientError LumenClient::suspendOrTerminate()
{
    const bool suspend = options.command() == QLatin1String("suspend");
    const std::unique_ptr<RpcConnection> connection = connectTo(host);
    SessionCatalog catalog;
    SessionEntry entry;
    ClientError error;
    if (!catalog.load(*connection, error)) {
        return error;
    }
    if (!suspend && isJobId(options.sessionId()) && cancelJobByItsId(*connection, catalog, error)) {
        return error;
    }
    if (!catalog.find(options.sessionId(), entry, error)) {
        return error;
    }
    std::unique_ptr<RpcConnection> other;
    RpcConnection *owner = nullptr;
    if (!ownerOf(entry, *connection, other, owner, error)) {
        return error;
    }
    const QString shortId = entry.id().left(8);
    Console::progress(suspend ? QStringLiteral("Suspending session %1...").arg(shortId)
                              : QStringLiteral("Terminating session %1...").arg(shortId));
    Json::Value result;
    RpcError failure;
    if (!owner->call(suspend ? QStringLiteral("Live.Suspend") : QStringLiteral("Live.Terminate"),
                     idParameter(entry.id()), result, failure, startTimeoutMs)) {
        if (suspend && failure.kind == RpcError::Server && failure.code == -32092) {
            return ClientError(ClientError::Refused,
                               QStringLiteral("Session %1 on %2 has no viewer to disconnect.").arg(shortId, host.name()));
        }
        const ClientError failed = describeFailure(failure, host.name(), entry.id());
        if (!suspend && failed.status() == ClientError::Unreachable && cancelJobOf(*connection, catalog, entry)) {
            return ClientError();
        }
        return failed;
    }
    Console::print(suspend ? QStringLiteral("Session %1 is suspended: its viewers are disconnected, it goes on. To get "
                                            "in again: lumen %2 attach %1")
                                 .arg(shortId, host.name())
                           : QStringLiteral("Session %1 is terminated.").arg(shortId));
    return ClientError();
}

bool LumenClient::cancelJobByItsId(RpcConnection &connection, const SessionCatalog &catalog, ClientError &error)
{
    const QString jobId = options.sessionId();
    const SessionJobs jobs(catalog.records(), jobsOn(connection.hostCommands()));
    SlurmJob job;
    if (!jobs.findJob(jobId, job)) {
        return false;
    }
    for (const SessionEntry &entry : catalog.entries()) {
        if (entry.id().startsWith(jobId, Qt::CaseInsensitive)) {
            error = ClientError(ClientError::Usage,
                                QStringLiteral("\"%1\" is both job %1 and the beginning of session %2: give more of the "
                                               "session's id, or cancel the job with scancel %1 on %3.")
                                    .arg(jobId, entry.id(), host.name()));
            return true;
        }
    }
    QString problem;
    if (!cancelJob(connection.hostCommands(), jobId, problem)) {
        error = ClientError(ClientError::Refused, QStringLiteral("Slurm on %1 did not cancel job %2: %3")
                                                      .arg(host.name(), jobId, problem));
        return true;
    }
    connection.close();
    Console::print(QStringLiteral("Cancelled job %1.").arg(jobId));
    error = ClientError();
    return true;
}

bool LumenClient::cancelJobOf(RpcConnection &connection, const SessionCatalog &catalog, const SessionEntry &entry)
{
    const SlurmJob job = SessionJobs(catalog.records(), jobsOn(connection.hostCommands())).jobOf(entry.id());
    QString problem;
    if (job.id().isEmpty() || !cancelJob(connection.hostCommands(), job.id(), problem)) {
        return false;
    }
    Console::print(QStringLiteral("Session %1 could not be reached; cancelled its job %2 instead.")
                       .arg(entry.id().left(8), job.id()));
    return true;
}

ClientError LumenClient::watch()
{
    const std::unique_ptr<RpcConnection> connection = connectTo(host);
    SessionCatalog catalog;
    ClientError error;
    if (!catalog.load(*connection, error)) {
        return error;
    }
    const SessionTable table(host.hostName(), catalog.shortIdLength());
    SessionChanges changes(table, catalog.entries());
    if (options.json()) {
        Console::print(QString::fromUtf8(compactJson(catalog.records())));
    } else {
        Console::print(catalog.entries().isEmpty() ? QStringLiteral("No sessions on %1.").arg(host.name())
                                                   : table.format(catalog.entries()));
    }
    Console::progress(QStringLiteral("Watching %1 for changes; Ctrl+C ends.").arg(host.name()));

    QEventLoop loop;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
    QObject::connect(connection.get(), &RpcConnection::ended, &loop, &QEventLoop::quit);
    QObject::connect(connection.get(), &RpcConnection::notificationReceived, &loop,
                     [&](const QString &method, const Json::Value &params) {
                         if (method != QLatin1String("UpdateSessions")) {
                             return;
                         }
                         if (options.json()) {
                             Console::print(QString::fromUtf8(
                                 compactJson(params.isNull() ? Json::Value(Json::arrayValue) : params)));
                             return;
                         }
                         for (const QString &line : changes.update(entriesOf(params), QDateTime::currentDateTime())) {
                             Console::print(line);
                         }
                     });
    if (connection->isOpen() && !interrupted) {
        loop.exec();
    }
    if (interrupted) {
        connection->close();
        return ClientError();
    }
    return ClientError(ClientError::Unreachable,
                       QStringLiteral("The connection to %1 ended. %2").arg(host.name(), connection->endReason()));
}

HostCommands LumenClient::commandsFor(const HostTarget &target, const HostCommands *hop)
{
    if (target.isLocal()) {
        return HostCommands(options.sshCommand(), target, QString());
    }
    if (!controlDirectory) {
        // A private folder (mode 0700) for the ssh connections' control sockets.
        QString base = QDir::tempPath();
        if (base.size() > longestControlDirectory || base.contains(QLatin1Char(' ')) || base.contains(QLatin1Char('%'))) {
            base = QStringLiteral("/tmp");
        }
        controlDirectory = std::make_unique<QTemporaryDir>(base + QStringLiteral("/lumen-XXXXXX"));
    }
    const QString controlPath = controlDirectory->isValid()
                                    ? controlDirectory->filePath(QStringLiteral("ssh-%1").arg(controlSockets++))
                                    : QString();
    HostCommands commands(options.sshCommand(), target, controlPath);
    if (hop != nullptr) {
        commands.setHop(*hop);
    }
    return commands;
}

std::unique_ptr<RpcConnection> LumenClient::connectTo(const HostTarget &target, const HostCommands *hop)
{
    auto connection = std::make_unique<RpcConnection>(target, commandsFor(target, hop));
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, connection.get(), &RpcConnection::interrupt);
    connection->open();
    return connection;
}

bool LumenClient::chooseSession(const SessionCatalog &catalog, SessionEntry &entry, ClientError &error)
{
    if (!options.sessionId().isEmpty()) {
        return catalog.find(options.sessionId(), entry, error);
    }
    const SessionEntryList &entries = catalog.entries();
    if (entries.size() == 1) {
        entry = entries.first();
        return true;
    }
    if (entries.isEmpty()) {
        error = ClientError(ClientError::Refused,
                            QStringLiteral("%1 has no sessions. Start one with: lumen %1 start COMMAND").arg(host.name()));
        return false;
    }
    const SessionTable table(host.hostName(), catalog.shortIdLength());
    if (!::isatty(STDIN_FILENO)) {
        Console::progress(table.format(entries));
        error = ClientError(ClientError::Usage,
                            QStringLiteral("%1 has %2 sessions: name one with lumen %1 attach ID")
                                .arg(host.name())
                                .arg(entries.size()));
        return false;
    }
    QStringList lines = table.format(entries).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 0; i < lines.size(); ++i) {
        lines[i] = (i == 0 ? QStringLiteral("    ") : QStringLiteral("%1)  ").arg(i, 2)) + lines[i];
    }
    Console::progress(lines.join(QLatin1Char('\n')));
    std::fputs(qPrintable(QStringLiteral("Attach which session (1-%1, or the beginning of its id)? ").arg(entries.size())),
               stderr);
    std::fflush(stderr);
    QString answer;
    if (!readAnswer(answer) || answer.isEmpty()) {
        error = interrupted ? ClientError(ClientError::Interrupted, QStringLiteral("Interrupted."))
                            : ClientError(ClientError::Usage, QStringLiteral("No session chosen."));
        return false;
    }
    bool isNumber = false;
    const int choice = answer.toInt(&isNumber);
    if (isNumber && choice >= 1 && choice <= entries.size()) {
        entry = entries.at(choice - 1);
        return true;
    }
    return catalog.find(answer, entry, error);
}

bool LumenClient::readAnswer(QString &answer)
{
    QByteArray line;
    bool ended = false;
    QEventLoop loop;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        if (got <= 0 || byte == '\n' || line.size() >= longestAnswer) {
            ended = got <= 0 && line.isEmpty();
            loop.quit();
            return;
        }
        line += byte;
    });
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
    if (!interrupted) {
        loop.exec();
    }
    if (interrupted || ended) {
        return false;
    }
    answer = QString::fromLocal8Bit(line).trimmed();
    return true;
}

bool LumenClient::ownerOf(const SessionEntry &entry, RpcConnection &connection, std::unique_ptr<RpcConnection> &other,
                          RpcConnection *&owner, ClientError &error)
{
    if (entry.isLocal()) {
        owner = &connection;
        return true;
    }
    HostTarget target;
    QString problem;
    if (!HostTarget::fromLocation(entry.record().location(), target, problem)) {
        error = ClientError(ClientError::Unreachable,
                            QStringLiteral("Session %1 runs on another host of %2's cluster, which cannot be reached: %3")
                                .arg(entry.id().left(8), host.name(), problem));
        return false;
    }
    // Through the host the user named, which reaches its cluster's hosts where the laptop may not.
    const bool throughHost = !options.direct() && !host.isLocal();
    Console::progress(QStringLiteral("Session %1 runs on %2; going there%3.")
                          .arg(entry.id().left(8), target.name(),
                               throughHost ? QStringLiteral(" through %1").arg(host.name()) : QString()));
    other = connectTo(target, throughHost ? &connection.hostCommands() : nullptr);
    owner = other.get();
    return true;
}

ClientError LumenClient::show(SessionPresenter &presenter, RpcConnection &owner, const QString &sessionId,
                              const SessionTicket &ticket, bool started)
{
    const ClientError result = ViewingSession(presenter, interrupts).run(owner, sessionId, ticket, host.name());
    // Interrupted before the session was shown: a session that this command started goes again.
    if (started && result.status() == ClientError::Interrupted) {
        return endInterruptedStart(owner, sessionId);
    }
    owner.close();
    return result;
}

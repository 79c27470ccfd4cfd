#pragma once

#include "client/command_line/client_error.h"
#include "client/command_line/client_options.h"
#include "client/host/host_commands.h"
#include "client/host/host_target.h"
#include "client/command_line/interrupt_watcher.h"

#include <QTemporaryDir>

#include <memory>

class RpcConnection;
class SessionCatalog;
class SessionEntry;
class SessionPresenter;
class SessionTicket;

// Runs one command of the command line against its host and returns the exit status.
class LumenClient
{
public:
    explicit LumenClient(const ClientOptions &options);
    ~LumenClient();

    int run();

private:
    ClientError list();
    ClientError start();
    ClientError attach();
    ClientError suspendOrTerminate();
    ClientError watch();

    // A batch job on HOST whose session the client waits for, then attaches to.
    ClientError startInJob(SessionPresenter &presenter, RpcConnection &connection, const QString &sessionId, const QStringList &sbatchOptions);
    // sbatch's options for --slurm: those given, else those of the settings file.
    bool slurmOptions(QStringList &sbatchOptions, ClientError &error) const;
    // A terminate whose argument is the id of one of lumen's jobs on HOST: cancels that job.
    bool cancelJobByItsId(RpcConnection &connection, const SessionCatalog &catalog, ClientError &error);
    // The session's job cancelled on HOST, when the host that runs the session cannot be reached.
    bool cancelJobOf(RpcConnection &connection, const SessionCatalog &catalog, const SessionEntry &entry);

    // With a hop, the target is reached through it (a session on another host, through HOST).
    HostCommands commandsFor(const HostTarget &target, const HostCommands *hop = nullptr);
    std::unique_ptr<RpcConnection> connectTo(const HostTarget &target, const HostCommands *hop = nullptr);
    bool chooseSession(const SessionCatalog &catalog, SessionEntry &entry, ClientError &error);
    // One line typed by the user; false at the end of the input or when interrupted.
    bool readAnswer(QString &answer);
    // After Ctrl+C while a new session was being started: ends it again (or makes sure it was never
    // made), over the same connection, behind the start.
    ClientError endInterruptedStart(RpcConnection &connection, const QString &sessionId);
    // The connection to the host that runs the session: the one given, or one to its location.
    bool ownerOf(const SessionEntry &entry, RpcConnection &connection, std::unique_ptr<RpcConnection> &other,
                 RpcConnection *&owner, ClientError &error);
    // Shows the session the ticket opens in the way the command line asks for; `started` when this
    // command started it.
    ClientError show(SessionPresenter &presenter, RpcConnection &owner, const QString &sessionId,
                     const SessionTicket &ticket, bool started);

    ClientOptions options;
    HostTarget host;
    // Ctrl+C, SIGTERM and SIGHUP for the whole run: each ends the wait at hand, and lumen ends in order.
    InterruptWatcher interrupts;
    bool interrupted = false;
    std::unique_ptr<QTemporaryDir> controlDirectory;
    int controlSockets = 0;
};

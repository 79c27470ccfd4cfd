#include "client/command_line/client_help.h"

namespace {

const char *const programHelp = R"(Usage: lumen [--ssh COMMAND] HOST COMMAND [OPTIONS] [ARGUMENTS]

Reaches the graphical sessions that Lumen Server keeps on HOST, through ssh, and opens a VNC viewer
on them. The viewer's connection goes through ssh too.

HOST is user@host, host, an ssh URL such as ssh://user@host:22/lumen_sci, or local for this
machine.

Commands:
  list       the sessions HOST knows, its own and those of its cluster
  start      start an application in a new session and open a viewer on it
  attach     open a viewer on a running session, taking it over if needed
  suspend    disconnect a session's viewers; the session goes on
  terminate  end a session and everything that runs in it
  watch      print each change of the session list until interrupted

Options:
  --ssh COMMAND  the ssh command with options, e.g. --ssh "ssh -p 2222 -i ~/.ssh/work"
  --direct       reach sessions on other hosts of HOST's cluster straight, not through HOST
  --help         this text; after a command, that command's help
  --version      the version of lumen

Options that take a value take it as --opt VALUE or as --opt=VALUE.

Exit status: 0 done, 1 HOST refused (or has no such session, or turned the viewer
away), 2 wrong usage or a missing local program, 3 HOST could not be reached, 4 the
viewer failed, 130 interrupted before the session was shown.

See lumen(1) for more.
)";

const char *const listHelp = R"(Usage: lumen HOST list [--json]

Lists every session HOST knows: its own and, when its servers find each other, those of the other
hosts of its cluster. The table shows the short id, the host, the state (waiting, password
offered, connected), the name, when the session started and when a viewer last connected.
Where HOST has Slurm, also each batch session's job and the time it has left (JOB, LEFT), and
a row for each job still waiting (pending) or starting.

  --json  print the records as the server sent them, one JSON array; batch sessions and
          waiting jobs carry "job", "jobState" and "timeLeft"
)";

const char *const startHelp = R"(Usage: lumen HOST start [--slurm[=OPTIONS]] [--geometry WxH | --rootless]
                        [--no-viewer | --browser | --viewer COMMAND] [--] COMMAND [ARG...]

Starts COMMAND in a new session on HOST and opens a viewer on it. One COMMAND word is run as a
shell command line ("xterm -bg black" in quotes works); several words are passed each as it is.
Ctrl+C before the viewer shows the session ends the session again; once it is shown, Ctrl+C
closes the viewer and the session goes on.

  --slurm[=OPTIONS]  run the session in a Slurm batch job submitted on HOST (a login host),
                     with sbatch's OPTIONS in one word, e.g. --slurm="-t 2:00:00 --gres=gpu:1";
                     without a value, SlurmOptions from ~/.config/Orvane/lumen.conf. Shows the
                     job while it waits; Ctrl+C then cancels the job
  --geometry WxH     the screen size of the session, each side from 16 to 8192 (default
                     1280x800)
  --rootless         a session for a single application; the reference launchers of
                     lumen-server show it as a 1024x768 desktop
  --no-viewer        print the session's id, port and one-time password instead, with the
                     ssh command that reaches the port
  --browser          show the session in a web browser ($BROWSER, else xdg-open) instead,
                     through noVNC served on this machine's loopback (packages novnc and
                     websockify); it counts as shown once the page has connected, and lumen
                     ends when the page's connection does
  --viewer COMMAND   the VNC viewer to run (default vncviewer, package tigervnc-viewer); it
                     gets 127.0.0.1::PORT as its last argument and the password in VNC_PASSWORD
)";

const char *const attachHelp = R"(Usage: lumen HOST attach [--no-takeover] [--no-viewer | --browser | --viewer COMMAND] [ID]

Opens a viewer on a running session. ID may be the beginning of a session's id, as long as it
fits one session only; without ID, the only session, or a choice from the list. A session that
runs on another host of the cluster is reached through that host.

A session whose password waits for its viewer is given that password again; one without
viewers is given a new password; one connected elsewhere is taken over: its viewer is
disconnected first.

  --no-takeover      refuse a session that is connected elsewhere instead
  --no-viewer        print the session's port and one-time password instead
  --browser          show the session in a web browser instead (see lumen HOST start --help)
  --viewer COMMAND   the VNC viewer to run (default vncviewer)
)";

const char *const suspendHelp = R"(Usage: lumen HOST suspend ID

Disconnects every viewer of the session; the session and its applications go on. ID may be the
beginning of a session's id.
)";

const char *const terminateHelp = R"(Usage: lumen HOST terminate ID

Ends the session and everything that runs in it. ID may be the beginning of a session's id.
A batch session's job ends with it; a job id (digits) of a job that lumen submitted on HOST
cancels that job, whether it still waits or runs.
)";

const char *const watchHelp = R"(Usage: lumen HOST watch [--json]

Prints the sessions HOST knows, then one line for each change: a session started, ended, or
changed its state. Runs until interrupted (Ctrl+C).

  --json  print each new session list as the server sent it, one JSON array per line
)";

} // namespace

QString helpText(const QString &command)
{
    const char *text = programHelp;
    if (command == QLatin1String("list")) {
        text = listHelp;
    } else if (command == QLatin1String("start")) {
        text = startHelp;
    } else if (command == QLatin1String("attach")) {
        text = attachHelp;
    } else if (command == QLatin1String("suspend")) {
        text = suspendHelp;
    } else if (command == QLatin1String("terminate")) {
        text = terminateHelp;
    } else if (command == QLatin1String("watch")) {
        text = watchHelp;
    }
    return QString::fromUtf8(text);
}

#!/usr/bin/env bash
# Installs what is needed, builds the programs, the client lumen and the reference launchers, and
# starts a session for the current user the way a remote client does: through lumen_sci, which
# starts the server if none runs. Prints how to attach to it with lumen, here or from another
# machine, and where a plain VNC viewer connects. Every command it prints works as printed in a new
# shell: the programs in build/bin find each other there (lumen finds lumen_sci next to itself, and so
# on), whatever the PATH.
#
# The session's application and screen size can be chosen: LUMEN_COMMAND (default: a desktop, the
# IceWM window manager with an xterm) and LUMEN_GEOMETRY (default 1280x800).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"

# The server that lumen_sci starts inherits this PATH and finds start-agent and start-app there.
export PATH="$PWD/build/bin:$PATH"
export USER="${USER:-$(id -un)}"
command="${LUMEN_COMMAND:-xterm & exec icewm-session}"
geometry="${LUMEN_GEOMETRY:-1280x800}"

# Prints "session ID", "host ...", "port N" and "password PW", one per line.
started="$(lumen local start --no-viewer --geometry "$geometry" -- "$command")"
id="$(awk '$1 == "session" { print $2 }' <<<"$started")"
port="$(awk '$1 == "port" { print $2 }' <<<"$started")"
password="$(awk '$1 == "password" { print $2 }' <<<"$started")"
host="$(hostname)"

lumen="$PWD/build/bin/lumen"

echo
user_path="$HOME/.lumen_server/$host"   # the default; the UserPath setting can move it
echo "Lumen Server is running."
echo "  user path: $user_path"
echo "  log file:  $user_path/server_log"
echo "  port file: $user_path/server_port"
echo "Session $id is running ($command, $geometry)."
echo "Attach to it with a viewer (TigerVNC's vncviewer, package tigervnc-viewer):"
echo "  from this machine:    $lumen local attach ${id:0:8}"
echo "  from another machine: lumen $USER@$host attach ${id:0:8}"
echo "    (with the package lumen-client there, and lumen-server installed here; see README.md)"
echo "Or connect any VNC viewer to the session's port $port with the password $password (works"
echo "  once). The port listens on this machine's loopback only (see ViewersFromNetwork in"
echo "  README.md): here, vncviewer localhost::$port; from another machine, through ssh:"
echo "  ssh -N -L $port:127.0.0.1:$port $USER@$host, and meanwhile there: vncviewer localhost::$port"
echo "End the session with:"
echo "  $lumen local terminate ${id:0:8}"

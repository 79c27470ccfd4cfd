#!/usr/bin/env bash
# Installs what is needed, builds the programs and the reference launchers, and starts a session for
# the current user the way a remote client does: through lumen_sci, which starts the server if none
# runs. Prints where a VNC viewer connects and with which password.
#
# The application and the screen size can be chosen: LUMEN_COMMAND (default xterm) and
# LUMEN_GEOMETRY (default 1280x800).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"

# The server that lumen_sci starts inherits this PATH and finds start-agent and start-app there.
export PATH="$PWD/build/bin:$PATH"
export USER="${USER:-$(id -un)}"
command="${LUMEN_COMMAND:-xterm}"
geometry="${LUMEN_GEOMETRY:-1280x800}"
id="$(openssl rand -hex 16)"

result="$(./scripts/lumen_call.py Live.Start "$id" "$command" "$geometry")"
read -r port password < <(python3 -c 'import json, sys; r = json.load(sys.stdin); print(r["port"], r["password"])' <<<"$result")
host="$(hostname)"

echo
user_path="$HOME/.lumen_server/$host"   # the default; the UserPath setting can move it
echo "Lumen Server is running."
echo "  user path: $user_path"
echo "  log file:  $user_path/server_log"
echo "  port file: $user_path/server_port"
echo "Session $id is running: connect a VNC viewer to $host:$port with the password $password"
echo "  (TigerVNC: vncviewer $host::$port). The password works once; for a new one, disconnect and run"
echo "  ./scripts/lumen_call.py Live.Resume $id"
echo "End the session with:"
echo "  ./scripts/lumen_call.py Live.Terminate $id"

#!/usr/bin/env bash
# Installs what is needed, builds the programs and starts the server for the current user, the way a
# remote client's relay would: through its launching process, which returns once the server runs.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"

export PATH="$PWD/build/bin:$PATH"
export USER="${USER:-$(id -un)}"
user_path="$HOME/.lumen_server/$(hostname)"
mkdir -p "$user_path"   # the relay creates it too; the server itself never does
lumen_server
echo "Lumen Server is running."
echo "  user path: $user_path"
echo "  log file:  $user_path/server_log"
echo "  port file: $user_path/server_port"

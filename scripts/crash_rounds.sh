#!/usr/bin/env bash
# Kills the server at random moments of many starts, terminates and attaches and checks, after each
# restart, that nothing was left half-made (the suite runs 20 rounds of each; see
# tests/live_server/tst_live_crashes.cpp). Builds the sanitizer build first, as scripts/test.sh does.
#
#   ./scripts/crash_rounds.sh [rounds] [lumen]
#
# With "lumen" each interrupted call is made by the client `lumen local` itself (slower: two more
# processes per call). A failing run prints its LUMEN_CRASH_SEED; set it to repeat the run.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-200}
client=${2:-}
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMEN_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)" --target tst_live_crashes lumen_server lumen_sci lumen
# QtTest ends a test function after five minutes unless told otherwise (milliseconds).
LUMEN_CRASH_ROUNDS=$rounds LUMEN_CRASH_CLIENT=$client QT_QPA_PLATFORM=offscreen \
    QTEST_FUNCTION_TIMEOUT=$((600000 + rounds * 30000)) build-test/bin/tst_live_crashes

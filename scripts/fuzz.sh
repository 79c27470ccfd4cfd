#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them for a while (default 60 seconds,
# or the number of seconds given), one after the other, then prints how many inputs each tried.
# The inputs a run finds worth keeping stay in build-fuzz/work/corpus; failing inputs are saved in
# build-fuzz/work/findings and make the script fail.
#
#   ./scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
./scripts/setup.sh --tests
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S tests/fuzz/targets -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}"
cmake --build build-fuzz -j"$(nproc)"

status=0
summary=()
for binary in build-fuzz/bin/fuzz_*; do
    name=${binary##*/fuzz_}
    log=build-fuzz/work/$name.log
    mkdir -p build-fuzz/work
    echo "== $name: $seconds s"
    if tests/fuzz/run_fuzzer.sh "$binary" "$name" "$seconds" build-fuzz/work >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 40 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$(printf '%-16s %-7s %12s runs' "$name" "$result" "${runs:-?}")")
done
printf '%s\n' "${summary[@]}"
exit $status

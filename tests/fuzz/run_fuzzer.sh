#!/usr/bin/env bash
# Runs one libFuzzer target for a while on its seed corpus and dictionary, and reports how many
# inputs it tried. Used by CTest (a few seconds per target) and by scripts/fuzz.sh (longer runs).
#
#   run_fuzzer.sh <fuzzer binary> <target name> <seconds> <work folder>
#
# New inputs that reach new code are kept in <work folder>/corpus/<target>; an input that fails is
# saved in <work folder>/findings/ and makes the run fail.
set -euo pipefail

binary=$1
name=$2
seconds=$3
work=$4
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$work/corpus/$name" "$work/findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$here/../lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen

# The first corpus folder receives what the run finds; the seeds in the source tree stay as they are.
exec "$binary" \
    -max_total_time="$seconds" \
    -max_len=8192 \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -print_final_stats=1 \
    -dict="$here/dict/$name.dict" \
    -artifact_prefix="$work/findings/$name-" \
    "$work/corpus/$name" "$here/corpus/$name"

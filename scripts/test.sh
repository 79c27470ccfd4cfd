#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh --tests
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMEN_SANITIZE=ON
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)" --timeout 900

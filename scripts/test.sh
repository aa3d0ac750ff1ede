#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the suite, then
# builds and runs it again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and last cross-builds the Windows programs and runs the Windows suite under
# wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test --windows

scripts/build.sh
echo "== tests (Release)"
ctest --test-dir build --output-on-failure -j2

scripts/build.sh --asan
echo "== tests (ASan+UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2

scripts/test-windows.sh

#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the suite, then
# runs it again under AddressSanitizer and UndefinedBehaviorSanitizer, and
# last runs the Windows suite under wine (scripts/test-windows.sh).
#
# The next stage's build runs beside each suite, at a lower priority, so the
# compiler uses the processor time the tests leave (they mostly wait on
# their programs); its output is shown when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test --windows
start=$SECONDS
logs=$(mktemp -d "${TMPDIR:-/tmp}/carob-test.XXXXXX")
trap 'rm -rf "$logs"' EXIT

# Starts scripts/build.sh with the given option beside what follows.
build_beside() {
  (nice -n 10 scripts/build.sh "$@" >"$logs/build$1.log" 2>&1; echo $? >"$logs/build$1.rc") &
}
# Waits for that build; fails with its output when it failed.
await_build() {
  wait
  if [ "$(cat "$logs/build$1.rc")" != 0 ]; then
    cat "$logs/build$1.log"
    echo "== the build scripts/build.sh $1 failed" >&2
    exit 1
  fi
  echo "== built $1 beside the tests: $((SECONDS - start)) s since the start"
}

scripts/build.sh
echo "== built: $((SECONDS - start)) s"
build_beside --asan
echo "== tests (Release)"
ctest --test-dir build --output-on-failure -j2
await_build --asan

build_beside --windows
echo "== tests (ASan+UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2
unset ASAN_OPTIONS UBSAN_OPTIONS
await_build --windows

scripts/test-windows.sh
echo "== all stages: $((SECONDS - start)) s"

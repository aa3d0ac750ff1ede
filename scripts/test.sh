#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the suite, then
# runs it again under AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs the Windows suite under wine (scripts/test-windows.sh).
#
# The stages overlap where the two cores allow: the tests mostly wait on
# their programs, so the sanitizer build runs beside the plain suite, at a
# lower priority, and the Windows build after it; the Windows suite runs as
# soon as its build is there, beside the sanitizer suite. What runs beside
# is logged, and its log shown at the end or when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test --windows
start=$SECONDS
logs=$(mktemp -d "${TMPDIR:-/tmp}/carob-test.XXXXXX")
beside=
# What runs beside has a process group of its own (set -m), ended with
# this script however it ends.
stop_beside() {
  if [ -n "$beside" ]; then
    kill -TERM -- "-$beside" 2>/dev/null || true
    wait "$beside" 2>/dev/null || true
  fi
}
trap 'rc=$?; stop_beside; rm -rf "$logs"; exit $rc' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

scripts/build.sh
echo "== built: $((SECONDS - start)) s"

# Beside the tests: the sanitizer build, whose result the sanitizer stage
# reads from a pipe before it starts, then the Windows build and suite.
mkfifo "$logs/asan.rc"
set -m
(
  set +e
  nice -n 10 scripts/build.sh --asan >"$logs/asan.log" 2>&1
  echo "$? $((SECONDS - start))" >"$logs/asan.rc"
  CAROB_WINDOWS_BUILD_NICE=10 scripts/test-windows.sh >"$logs/windows.log" 2>&1
  rc=$?
  echo "== the Windows stage ended: $((SECONDS - start)) s" >>"$logs/windows.log"
  echo $rc >"$logs/windows.rc"
) </dev/null &
beside=$!
set +m

echo "== tests (Release)"
ctest --test-dir build --output-on-failure -j2
echo "== Release suite: $((SECONDS - start)) s"

read -r asan_rc asan_at <"$logs/asan.rc"
if [ "$asan_rc" != 0 ]; then
  cat "$logs/asan.log"
  echo "== the build scripts/build.sh --asan failed" >&2
  exit 1
fi
echo "== built --asan beside the tests: $asan_at s"

echo "== tests (ASan+UBSan)"
asan_failed=
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 || asan_failed=1
echo "== ASan+UBSan suite: $((SECONDS - start)) s"

echo "== the Windows stage, beside the sanitizer suite:"
wait "$beside" || true
beside=
cat "$logs/windows.log"
if [ "$(cat "$logs/windows.rc" 2>/dev/null)" != 0 ]; then
  echo "== the Windows stage (scripts/build.sh --windows, scripts/test-windows.sh) failed" >&2
  exit 1
fi
[ -z "$asan_failed" ] || exit 1
echo "== all stages: $((SECONDS - start)) s"

#!/usr/bin/env bash
# The Windows stage of the test command: cross-builds carob.exe, orb.exe and
# the Windows suite with mingw-w64 (build-win/; at the niceness
# CAROB_WINDOWS_BUILD_NICE, default 0), then runs the suite under
# wine, one test program at a time or as many as CAROB_WINE_SLOTS says, each
# in a wine prefix of its own, made afresh in a temporary folder and removed
# at the end: the tests use its drives C:, D:, E: and F: as their own (see
# tests/support/world.h).
# A virtual display is there for the window test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --windows

# One prefix a slot, as CTest's resource "wine" (tests/windows/wine_slot.sh):
# CAROB_WINE_SLOTS test programs at a time (default 1). Two at a time take
# a third of the time, but in one run of five a program under test could
# not start orb.exe in one of them, which is not understood yet.
slots=()
for ((i = 0; i < ${CAROB_WINE_SLOTS:-1}; ++i)); do slots+=("p$i"); done
prefixes=$(mktemp -d "${TMPDIR:-/tmp}/carob-wine.XXXXXX")
prefix=$prefixes/${slots[0]}
xvfb_pid=
prefixes_made=
cleanup() {
  if [ -n "$prefixes_made" ]; then kill "$prefixes_made" 2>/dev/null; wait "$prefixes_made" 2>/dev/null; fi || true
  for slot in "${slots[@]}"; do
    WINEPREFIX=$prefixes/$slot wineserver -k >/dev/null 2>&1 || true
  done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$prefixes"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
export CAROB_SCRATCH_DRIVES=CDEF

# wine's first start makes the prefix (slow: once per run, so it is done
# while the build runs); the other slots get copies of it (its drives are
# linked relatively).
make_prefixes() {
  local start=$SECONDS slot
  DISPLAY= wineboot --init >/dev/null 2>&1
  wineserver --wait
  for d in d e f; do
    mkdir -p "$prefix/drive_$d"
    ln -sfn "../drive_$d" "$prefix/dosdevices/$d:"
  done
  resources='{"version": {"major": 1, "minor": 0}, "local": [{"wine": ['
  for slot in "${slots[@]}"; do
    [ "$slot" = "${slots[0]}" ] || cp -a "$prefix" "$prefixes/$slot"
    resources+="{\"id\": \"$slot\", \"slots\": 1},"
  done
  echo "${resources%,}]}]}" >"$prefixes/resources.json"
  echo "== wine prefixes: $((SECONDS - start)) s"
}
make_prefixes &
prefixes_made=$!

start=$SECONDS
nice -n "${CAROB_WINDOWS_BUILD_NICE:-0}" scripts/build.sh --windows
echo "== Windows build: $((SECONDS - start)) s"
wait "$prefixes_made"
prefixes_made=
export CAROB_WINE_PREFIXES=$prefixes

# The display of the window test; the other tests start their programs
# without one (headless), as a service would run them.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
export CAROB_WINDOW_DISPLAY=":$(head -1 "$display_file")"
rm -f "$display_file"
unset DISPLAY

start=$SECONDS
echo "== tests (Windows, under wine)"
ctest --test-dir build-win --output-on-failure -j"${#slots[@]}" \
  --resource-spec-file "$prefixes/resources.json"
echo "== Windows suite: $((SECONDS - start)) s"

# A Linux carob and a Windows orb through one shared folder: the Linux
# test program runs the Windows console and dispatcher under wine.
start=$SECONDS
echo "== Linux and Windows through a shared folder"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target family_test carob orb >/dev/null
CAROB_WINEPREFIX=$WINEPREFIX CAROB_WIN_ORB=$PWD/build-win/orb.exe \
  build/family_test --gtest_filter='FamilyTwoSystems.*'
echo "== Linux and Windows: $((SECONDS - start)) s"

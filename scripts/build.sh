#!/usr/bin/env bash
# Builds CAROB into build/ (Release). Usage: scripts/build.sh [--asan|--windows]
#   --asan     the sanitizer build, into build-asan/
#   --windows  the Windows programs build-win/carob.exe and build-win/orb.exe
#              and the Windows test suite, cross-built with mingw-w64
# Those two are made once for a test run, so the program's sources are
# compiled in a few large units (CAROB_UNITY); the plain build compiles each
# source alone, as a developer's edits are rebuilt.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=()
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan
  extra=(-DCAROB_SANITIZE=ON -DCAROB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAROB_UNITY=ON)
elif [ "${1:-}" = "--windows" ]; then
  dir=build-win
  extra=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
         -DCAROB_BENCH=OFF -DCAROB_UNITY=ON)
else
  extra=(-DCMAKE_BUILD_TYPE=Release)
fi
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"

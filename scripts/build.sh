#!/usr/bin/env bash
# Builds CAROB into build/ (Release). Usage: scripts/build.sh [--asan]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=()
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan; extra=(-DCAROB_SANITIZE=ON -DCAROB_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
  extra=(-DCMAKE_BUILD_TYPE=Release)
fi
cmake -S . -B "$dir" "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"

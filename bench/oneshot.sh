#!/usr/bin/env bash
# What a one-shot `orb set` costs, run as a process of its own for every
# write, with the temporary folder empty and with FILES unrelated files in
# it; and, with BESIDE=1, with the databank itself in the crowded folder.
#
#   bench/oneshot.sh [ORB] [WRITES] [FILES]      (defaults: build/orb 150 10000)
#
# The writes are made in rounds of ten, the empty and the crowded folder
# taking turns, so that a change in the machine's load falls on both alike.
# Prints the milliseconds per write of each and their ratio.
set -euo pipefail

orb=$(realpath "${1:-build/orb}")
writes=${2:-150}
files=${3:-10000}
work=$(mktemp -d /tmp/carob-oneshot.XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/empty" "$work/crowded" "$work/banks"
for ((i = 0; i < files; i++)); do : >"$work/crowded/unrelated.$i"; done

# One family root per folder, so that each keeps its own "Temporary path".
declare -A bank total
for kind in empty crowded; do
  mkdir -p "$work/root-$kind"
  if [[ ${BESIDE:-0} == 1 ]]; then
    bank[$kind]="Z:${work//\//\\}\\$kind\\k.dat"
  else
    bank[$kind]="Z:${work//\//\\}\\banks\\$kind.dat"
  fi
  total[$kind]=0
  ORB_ROOT="$work/root-$kind" TEMP="$work/$kind" "$orb" set "${bank[$kind]}" warm up >/dev/null
done

done_writes=0
while ((done_writes < writes)); do
  round=$((writes - done_writes < 10 ? writes - done_writes : 10))
  for kind in empty crowded; do
    start=$(date +%s%N)
    for ((i = 0; i < round; i++)); do
      # Values of changing length: appends, overwrites and rewrites alike.
      ORB_ROOT="$work/root-$kind" TEMP="$work/$kind" \
        "$orb" set "${bank[$kind]}" "key$((i % 3))" "value$((done_writes + i))" >/dev/null
    done
    total[$kind]=$((total[$kind] + $(date +%s%N) - start))
  done
  done_writes=$((done_writes + round))
done

awk -v e="${total[empty]}" -v c="${total[crowded]}" -v n="$writes" -v f="$files" 'BEGIN {
  printf "empty temporary folder:       %.2f ms per write\n", e / n / 1e6
  printf "%d unrelated files in it:  %.2f ms per write\n", f, c / n / 1e6
  printf "ratio: %.2fx\n", c / e
}'

#!/usr/bin/env bash
# What a one-shot `orb set` costs on a network share, against its floor on
# the same mount: one lock file made (exclusively) and deleted around a new
# file written and renamed into place.
#
#   bench/share_write.sh [WRITES [ORB...]]       (defaults: 100 build/orb)
#
# Brings up the tests' share (tests/share/share_rig.sh: Samba on the
# loopback, a FUSE client), in a network namespace of its own when run as
# root, so that a share test running meanwhile keeps its port; the family's
# root stays on the local disk, its temporary folder and the databank lie on
# the share. The floor runs its steps in one process, each orb one process
# per write; they take turns in rounds of ten writes, so that a change in
# the machine's load falls on all alike (several ORBs: builds to compare).
# A local `orb --version` per write is timed as well: what a process costs
# before it touches the share. With STRACE=1 the system calls of one write
# of the first ORB are counted (strace -c) and those on the share listed
# with their times.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
writes=${1:-100}
shift || true
orbs=()
for o in "${@:-build/orb}"; do orbs+=("$(realpath "$o")"); done
orb=${orbs[0]}
work=$(mktemp -d /tmp/carob-share-bench.XXXXXX)

up() {
  if [[ $(id -u) == 0 ]] && command -v unshare >/dev/null; then
    unshare -n bash -c 'ip link set lo up && exec "$0" up "$1"' "$here/tests/share/share_rig.sh" "$work/rig"
  else
    "$here/tests/share/share_rig.sh" up "$work/rig"
  fi
}
cleanup() { "$here/tests/share/share_rig.sh" down "$work/rig" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
share=$(up | awk '$1 == "mount" { print $2; exit }')
[[ -n $share ]] || { echo "no share" >&2; exit 1; }

cat >"$work/floor.c" <<'C'
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  const char* dir = argv[1];
  int n = atoi(argv[2]);
  char lock[4096], fresh[4096], bank[4096], bytes[64];
  snprintf(lock, sizeof lock, "%s/temp/floor.lock", dir);
  snprintf(fresh, sizeof fresh, "%s/floor.dat.new", dir);
  snprintf(bank, sizeof bank, "%s/floor.dat", dir);
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (int i = 0; i < n; ++i) {
    int l = open(lock, O_CREAT | O_EXCL | O_RDWR, 0666);
    int f = open(fresh, O_CREAT | O_TRUNC | O_WRONLY, 0666);
    int len = snprintf(bytes, sizeof bytes, "key=value%d\r\n", i);
    int renamed = -1, unlinked = -1;
    if (l >= 0 && f >= 0 && write(f, bytes, len) == len && fdatasync(f) == 0 && close(f) == 0) {
      renamed = rename(fresh, bank);
      close(l);
      /* The server may count a file open for a moment after its close. */
      for (int retry = 0; (unlinked = unlink(lock)) != 0 && errno == EBUSY && retry < 100; ++retry)
        usleep(5000);
    }
    if (renamed != 0 || unlinked != 0) {
      perror("floor");
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.2f\n", ((b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6) / n);
  return 0;
}
C
cc -O2 -o "$work/floor" "$work/floor.c"

mkdir -p "$share/temp" "$work/root"
export ORB_ROOT="$work/root" TEMP="$share/temp"
bank="Z:${share//\//\\}\\bench.dat"
"$orb" set "$bank" warm up >/dev/null

declare -A total
floor_total=0
process_total=0
now() { date +%s%N; }
done_writes=0
while ((done_writes < writes)); do
  round=$((writes - done_writes < 10 ? writes - done_writes : 10))
  floor_ms=$("$work/floor" "$share" "$round")
  floor_total=$(awk -v a="$floor_total" -v b="$floor_ms" -v n="$round" 'BEGIN { print a + b * n }')
  start=$(now)
  for ((i = 0; i < round; i++)); do "$orb" --version >/dev/null; done
  process_total=$((process_total + $(now) - start))
  for o in "${orbs[@]}"; do
    start=$(now)
    for ((i = 0; i < round; i++)); do
      "$o" set "$bank" "key$((i % 3))" "value$((done_writes + i))" >/dev/null
    done
    total[$o]=$((${total[$o]:-0} + $(now) - start))
  done
  done_writes=$((done_writes + round))
done
floor=$(awk -v t="$floor_total" -v n="$writes" 'BEGIN { printf "%.2f", t / n }')
echo "floor (lock, new file, rename, in one process): $floor ms per write"
awk -v t="$process_total" -v n="$writes" 'BEGIN { printf "a process of orb (--version, local): %.2f ms\n", t / n / 1e6 }'
for o in "${orbs[@]}"; do
  awk -v t="${total[$o]}" -v n="$writes" -v f="$floor" -v o="$o" \
    'BEGIN { printf "%s set, one process per write: %.2f ms per write, %.2fx the floor\n", o, t / n / 1e6, t / n / 1e6 / f }'
done

if [[ ${STRACE:-0} == 1 ]]; then
  strace -f -c -o "$work/count" "$orb" set "$bank" key0 counted
  sed -n '1,25p' "$work/count"
  strace -f -T -o "$work/trace" "$orb" set "$bank" key0 "traced value"
  grep -F "$share" "$work/trace" | sed -E 's/^[0-9]+ +//' | cut -c1-160
fi

#!/usr/bin/env bash
# The run command: starts the family of CAROB on this computer and opens a
# console on it.
#
#   scripts/run.sh [console options]     e.g. --wait 5, --to ID, or an APP
#
# - Builds first when the programs are missing or older than the sources
#   (scripts/deps.sh, then scripts/build.sh into build/). CAROB_BIN_DIR names
#   another folder holding ready-built carob and orb (then nothing is built).
# - Installs the programs under ORB_ROOT (default
#   ${XDG_DATA_HOME:-$HOME/.local/share}/orb): carob as C:\ORB\CAROB\carob and
#   orb as C:\ORB\TOOLS\orb, so their program folders hold their own files
#   (CAROB.dat, CAROB.cfg, the logs; the dispatcher's queues, the console's
#   interface file). The shared temporary folder (and the STATUS databank) is
#   C:\TEMP unless C:\FileLoc or ORB says otherwise.
# - Starts the dispatcher (`orb dispatch`) and carob in the background
#   (carob with its window when a display is there, headless otherwise) and
#   the console (`orb talk`) in the foreground. CAROB answers "User", the
#   console's application, unless its settings name another output program.
# - Leaving the console (end of input, Ctrl-D, Ctrl-C) stops carob and the
#   dispatcher cleanly; both are recorded as not running.
#
# The dispatcher's reports go to C:\ORB\TOOLS\dispatch.log, carob's to
# C:\ORB\CAROB\carob.log. `kill -USR1 <carob pid>` presses carob's Think
# button (its three thinking passes), with or without a window.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"

# -- the programs
if [ -n "${CAROB_BIN_DIR:-}" ]; then
  bin="$CAROB_BIN_DIR"
else
  bin="$repo/build"
  stale=""
  if [ ! -x "$bin/carob" ] || [ ! -x "$bin/orb" ]; then
    stale=yes
  elif [ -n "$(find "$repo" \( -path "$repo/build*" -o -path "$repo/.git" \) -prune -o \
                 \( -name '*.cc' -o -name '*.h' -o -name CMakeLists.txt \) \
                 -newer "$bin/orb" -print -quit)" ]; then
    stale=yes
  fi
  if [ -n "$stale" ]; then
    echo "run: building CAROB first (this takes a while the first time)..." >&2
    "$repo/scripts/deps.sh" || exit 1
    if ! "$repo/scripts/build.sh" >&2; then
      # The build makes the tests too; the programs may well be there.
      if [ -x "$bin/carob" ] && [ -x "$bin/orb" ]; then
        echo "run: the build reported errors; going on with the carob and orb it left" >&2
      else
        echo "run: the build failed" >&2
        exit 1
      fi
    fi
  fi
fi
if [ ! -x "$bin/carob" ] || [ ! -x "$bin/orb" ]; then
  echo "run: no carob and orb in $bin" >&2
  exit 1
fi

# -- where the family lives
export ORB_ROOT="${ORB_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/orb}"
if [ -z "${ORB:-}" ]; then
  export ORB='C:\TEMP'
  mkdir -p "$ORB_ROOT/c/TEMP"
fi
carob_dir="$ORB_ROOT/c/ORB/CAROB"
tools_dir="$ORB_ROOT/c/ORB/TOOLS"
mkdir -p "$carob_dir" "$tools_dir" || exit 1

# A copy renamed into place, so a program still running from an earlier
# session keeps its file and the new one is whole.
install_program() {
  cp "$1" "$2.new.$$" && chmod +x "$2.new.$$" && mv -f "$2.new.$$" "$2"
}
install_program "$bin/carob" "$carob_dir/carob" || exit 1
install_program "$bin/orb" "$tools_dir/orb" || exit 1

# CAROB sends its answers to its output program; when none is chosen yet,
# make that the console ("User").
orb="$tools_dir/orb"
settings="$("$orb" query 'C:\FileLoc' 'CAROB settings')" || exit 1
[ -n "$settings" ] || settings='C:\ORB\CAROB\CAROB.cfg'
if [ -z "$("$orb" query "$settings" 'Output program')" ]; then
  "$orb" set "$settings" 'Output program' User || exit 1
fi

# -- start and stop
disp_pid=""
carob_pid=""

stop_program() {  # pid name
  local pid="$1" i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  for i in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  echo "run: $2 did not stop within 15 s; killing it" >&2
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
cleanup() {
  trap - EXIT INT TERM HUP
  stop_program "$carob_pid" carob
  stop_program "$disp_pid" "the dispatcher"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

"$orb" dispatch </dev/null 2>>"$tools_dir/dispatch.log" &
disp_pid=$!
"$carob_dir/carob" </dev/null >>"$carob_dir/carob.log" 2>&1 &
carob_pid=$!

# The console starts once the dispatcher has recorded its input file and
# carob its interface file (at most 15 s), so nothing said waits for them.
for i in $(seq 1 75); do
  [ -n "$("$orb" query 'C:\FileLoc' 'RORU PO Input')" ] &&
    [ -n "$("$orb" query 'C:\FileLoc' 'CAROB interface')" ] && break
  kill -0 "$carob_pid" 2>/dev/null || { echo "run: carob stopped; see $carob_dir/carob.log" >&2; exit 1; }
  sleep 0.2
done

if [ -t 0 ]; then
  mode="headless"
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && mode="with its window"
  cat >&2 <<EOF
CAROB runs $mode (process $carob_pid); the dispatcher is process $disp_pid.
Their files are under $ORB_ROOT.
Think button: kill -USR1 $carob_pid
EOF
fi

rc=0
"$orb" talk "$@" || rc=$?
exit "$rc"

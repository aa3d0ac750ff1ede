#!/usr/bin/env bash
# Many computers on one family: how many sentences CAROB takes a second, and
# how long a question takes to come back, with N computers on this machine.
#
#   bench/scale.sh [N...]          (default: 2 4 8)
#
# Each computer pcK has its own family root (orb and carob installed in it),
# its own `orb dispatch --local-id pcK` and, on the share, its own FUSE
# mount of one Samba share on the loopback (tests/share/share_rig.sh, in a
# network namespace of its own when run as root). The temporary folder, each
# computer's STATUS and every dispatcher's input file lie on the share (each
# computer reaching them through its mount), or, for the second medium, in
# one local folder; pc1 has a route to every other computer, the others one
# to pc1. CAROB runs headless on pc1 and answers to "User"; a console
# (`orb talk CAROB --to pc1`) runs on each of pc2..pcN. N=1 is one computer
# alone, on the local folder only: its console talks to its own CAROB.
#
# First every console is given its STATEMENTS sentences "kK_Y be vY" at once;
# the time from then until CAROB has learnt them all gives the messages per
# second. Then QUESTIONS questions "What is kK_Y?" go one after another, each
# to the next console in turn, each timed from the moment its console reads
# it until its console prints the answer. What CAROB received (its console
# log), learnt (its knowledge) and answered tells what was lost or doubled:
# a sentence received no time or twice, a fact not learnt as said, a
# question with no answer or more than one.
#
# Settings (environment): MEDIA ("share local"), STATEMENTS (per console,
# 20), QUESTIONS (in all, 20), PAUSE (seconds after an answer before the
# next question, as a person reads it: 0.2; 0 asks while the family still
# tidies up after the last answer), PULSE (ms, 10), BIN (where orb and carob
# lie, build), KEEP=1 keeps the work folder (logs, roots) and says where,
# TRACE_CAROB runs pc1's CAROB under that command, to see where its time
# goes (say TRACE_CAROB="strace -D --seccomp-bpf -f -ttt -T -e trace=poll
# -o /tmp/carob.trace"; its words are split at spaces).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "${BIN:-$here/build}")
if (($# > 0)); then counts=("$@"); else counts=(2 4 8); fi
media=${MEDIA:-share local}
statements=${STATEMENTS:-20}
questions=${QUESTIONS:-20}
pulse=${PULSE:-10}
pause=${PAUSE:-0.2}
for x in orb carob; do [[ -x $bin/$x ]] || { echo "no $bin/$x (BIN names the build)" >&2; exit 2; }; done
most=1
for n in "${counts[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] && ((n >= 1 && n <= 16)) || { echo "N goes from 1 to 16, not '$n'" >&2; exit 2; }
  ((n > most)) && most=$n
done

work=$(mktemp -d /tmp/carob-scale.XXXXXX)
started=()  # every process this script started, ended at the end of a run
rig_up=
finish() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -n $rig_up ]] && "$here/tests/share/share_rig.sh" down "$work/rig" >/dev/null 2>&1
  if [[ ${KEEP:-0} == 1 ]]; then echo "kept: $work" >&2; else rm -rf "$work"; fi
}
trap finish EXIT
# Ends the processes of a run, each asked to stop and waited for.
stop_all() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  started=()
}

# "Z:\tmp\x" for /tmp/x: the family stores every path Windows-style.
windows() { local p=$1; echo "Z:${p//\//\\}"; }
# Microseconds now, into the variable named (no process started: the round
# trips are timed to the tenth of a millisecond).
now_us() { printf -v "$1" '%s' "${EPOCHREALTIME/./}"; }
# The value of `key` in a databank file (CR LF lines), empty when missing.
bank_value() { sed -n "s/^$2=\\(.*\\)\\r\$/\\1/p" "$1" 2>/dev/null | head -n 1; }

# Waits up to `seconds` for a command to succeed.
wait_for() {
  local seconds=$1
  shift
  local until=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < until)) || return 1
    sleep 0.05
  done
}

server=
mounts=()
if [[ " $media " == *" share "* ]] && ((most > 1)); then
  up() {
    if [[ $(id -u) == 0 ]] && command -v unshare >/dev/null; then
      unshare -n bash -c 'ip link set lo up && exec "$0" up "$1" "$2"' \
        "$here/tests/share/share_rig.sh" "$work/rig" "$most"
    else
      "$here/tests/share/share_rig.sh" up "$work/rig" "$most"
    fi
  }
  if rig=$(up); then
    rig_up=1
    server=$(awk '$1 == "server" { print $2 }' <<<"$rig")
    mapfile -t mounts < <(awk '$1 == "mount" { print $2 }' <<<"$rig")
  else
    echo "the share is left out: the rig did not come up" >&2
  fi
fi

# One run: N computers on a medium. Prints a row of the table.
run() {
  local n=$1 medium=$2 k
  local place="$medium-$n"
  local base="$work/$place"
  local shared_native  # the shared folder as the machine sees it (the server's side)
  local -a view        # each computer's Windows-style path to the shared folder
  if [[ $medium == share ]]; then
    shared_native="$server/$place"
    for ((k = 1; k <= n; k++)); do view[k]=$(windows "${mounts[k - 1]}/$place"); done
  else
    shared_native="$base/shared"
    for ((k = 1; k <= n; k++)); do view[k]=$(windows "$shared_native"); done
  fi
  mkdir -p "$shared_native/temp"
  local -a root
  for ((k = 1; k <= n; k++)); do
    root[k]="$base/pc$k"
    mkdir -p "${root[k]}/c/ORB/TOOLS" "${root[k]}/c/ORB/CAROB" "$shared_native/pc$k"
    cp "$bin/orb" "${root[k]}/c/ORB/TOOLS/orb"
    printf 'Pulse=%s\r\n' "$pulse" >"$shared_native/pc$k/STATUS"
    {
      printf 'Temporary path=%s\\temp\r\n' "${view[k]}"
      printf 'STATUS=%s\\pc%d\\STATUS\r\n' "${view[k]}" "$k"
      printf 'RORU PO Input=%s\\pc%d.input.POF\r\n' "${view[k]}" "$k"
      if ((k == 1)); then
        local j
        for ((j = 2; j <= n; j++)); do printf 'RORU PO Route pc%d=%s\\pc%d.input.POF\r\n' "$j" "${view[k]}" "$j"; done
      else
        printf 'RORU PO Route pc1=%s\\pc1.input.POF\r\n' "${view[k]}"
      fi
    } >"${root[k]}/c/FileLoc"
  done
  cp "$bin/carob" "${root[1]}/c/ORB/CAROB/carob"
  printf 'Output program=User\r\n' >"${root[1]}/c/ORB/CAROB/CAROB.cfg"

  # Runs in the computer's root, as nobody's desktop, in the place of the
  # (background) shell that calls it.
  at() {
    local k=$1
    shift
    exec env ORB_ROOT="${root[k]}" DISPLAY= WAYLAND_DISPLAY= ORB= TEMP= TMP= "$@"
  }
  running() { [[ $(bank_value "$shared_native/pc$1/STATUS" "$2 running") == Yes ]]; }
  for ((k = 1; k <= n; k++)); do
    at "$k" "${root[k]}/c/ORB/TOOLS/orb" dispatch --local-id "pc$k" 2>"$base/dispatch$k.log" &
    started+=($!)
  done
  # shellcheck disable=SC2086 # the command's words
  at 1 ${TRACE_CAROB:-} "${root[1]}/c/ORB/CAROB/carob" 2>"$base/carob.log" &
  started+=($!)
  for ((k = 1; k <= n; k++)); do
    wait_for 60 running "$k" "RORU PO" || { echo "$place: the dispatcher of pc$k did not start" >&2; return 1; }
  done
  wait_for 60 running 1 CAROB || { echo "$place: CAROB did not start" >&2; return 1; }
  wait_for 60 grep -q "^CAROB interface=" "${root[1]}/c/FileLoc" || return 1

  # The consoles, fed through a pipe each, their answers read from another.
  local first=2 last=$n
  ((n == 1)) && first=1
  local -a feed answers
  for ((k = first; k <= last; k++)); do
    mkfifo "$base/in$k" "$base/out$k"
    local fd
    exec {fd}<>"$base/in$k"
    feed[k]=$fd
    exec {fd}<>"$base/out$k"
    answers[k]=$fd
    local to=(--to pc1)
    ((n == 1)) && to=()
    at "$k" "${root[k]}/c/ORB/TOOLS/orb" talk CAROB "${to[@]}" --no-prompt \
      <"$base/in$k" >"$base/out$k" 2>"$base/talk$k.log" &
    started+=($!)
  done
  for ((k = first; k <= last; k++)); do
    wait_for 60 running "$k" User || { echo "$place: the console of pc$k did not start" >&2; return 1; }
  done

  # The statements, every console's at once.
  local y total=0 lines
  local -a sent_keys=()
  local begun
  now_us begun
  for ((k = first; k <= last; k++)); do
    lines=
    for ((y = 1; y <= statements; y++)); do
      lines+=$(printf 'k%d_%03d be v%d' "$k" "$y" "$y")$'\n'
      sent_keys+=("$(printf 'k%d_%03d' "$k" "$y")=v$y")
    done
    printf '%s' "$lines" >&"${feed[k]}"
    total=$((total + statements))
  done
  local knowledge="${root[1]}/c/ORB/CAROB/CAROB.dat"
  # Until all are learnt, or nothing more is for a minute: the rate is of
  # those learnt, up to the last of them.
  local count seen=0 ended=$begun still=$SECONDS
  while ((seen < total)); do
    count=$(grep -c '^k[0-9]*_[0-9]*=' "$knowledge" 2>/dev/null || true)
    if ((${count:-0} > seen)); then
      seen=$count
      now_us ended
      still=$SECONDS
    fi
    ((seen < total && SECONDS - still < 60)) || break
    sleep 0.01
  done
  local rate
  rate=$(awk -v m="$seen" -v t=$((ended - begun)) 'BEGIN { printf "%.1f", (t > 0 ? m / (t / 1e6) : 0) }')

  # The questions, one after another, each console in turn.
  local q asked=0 unanswered=0 stray=0 line
  local -a times=()
  local -A asked_texts=()  # how often each question was asked
  local consoles=$((last - first + 1))
  for ((q = 0; q < questions; q++)); do
    k=$((first + q % consoles))
    y=$((q / consoles % statements + 1))
    local key
    key=$(printf 'k%d_%03d' "$k" "$y")
    local start answered
    now_us start
    printf 'What is %s?\n' "$key" >&"${feed[k]}"
    asked_texts["What is $key?"]=$((${asked_texts["What is $key?"]:-0} + 1))
    asked=$((asked + 1))
    local got=
    # Lines that are not this answer are some earlier question's, again.
    while IFS= read -r -t 60 line <&"${answers[k]}"; do
      if [[ $line == "$key=v$y" ]]; then got=1; break; fi
      stray=$((stray + 1))
    done
    if [[ -n $got ]]; then
      now_us answered
      times+=($((answered - start)))
    else
      unanswered=$((unanswered + 1))
    fi
    sleep "$pause"
  done
  # An answer that comes twice comes within a few Pulses of the first; what
  # the console prints in the next second counts as doubled.
  for ((k = first; k <= last; k++)); do
    while IFS= read -r -t 1 line <&"${answers[k]}"; do stray=$((stray + 1)); done
  done

  # What CAROB received and learnt, against what was sent.
  local log="${root[1]}/c/ORB/CAROB/Console_use.log"
  local lost=$unanswered doubled=$stray received entry
  for entry in "${sent_keys[@]}"; do
    local skey=${entry%%=*} sval=${entry#*=}
    received=$(grep -c -F "| Recieved [$skey be $sval]" "$log" || true)
    if ((received == 0)) || [[ $(bank_value "$knowledge" "$skey") != "$sval" ]]; then
      lost=$((lost + 1))
    elif ((received > 1)); then
      doubled=$((doubled + received - 1))
    fi
  done
  local text
  for text in "${!asked_texts[@]}"; do
    received=$(grep -c -F "| Recieved [$text]" "$log" || true)
    local times_asked=${asked_texts[$text]}
    if ((received > times_asked)); then doubled=$((doubled + received - times_asked)); fi
  done

  for ((k = first; k <= last; k++)); do
    fd=${feed[k]}
    exec {fd}>&-
    fd=${answers[k]}
    exec {fd}>&-
  done

  local rt="-"
  if ((${#times[@]} > 0)); then
    rt=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END {
      p = int(NR * 0.95 + 0.999999); if (p < 1) p = 1
      m = int((NR + 1) / 2)
      printf "%s / %s", ms(t[m]), ms(t[p]) }
      function ms(us) { return us >= 1e6 ? sprintf("%.2f s", us / 1e6) : sprintf("%.0f ms", us / 1e3) }')
  fi
  local name=share
  [[ $medium == local ]] && name="one local folder"
  printf '| %d | %s | %d + %d | %d / %d | %s | %s |\n' \
    "$n" "$name" "$total" "$asked" "$lost" "$doubled" "$rate" "$rt"
}

echo "Pulse $pulse ms; $statements statements per console, $questions questions in all, $pause s apart; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| N | medium | messages (statements + questions) | lost / doubled | messages/s | question round trip median / p95 |"
echo "|---|---|---|---|---|---|"
for n in "${counts[@]}"; do
  for medium in $media; do
    if [[ $medium == share ]] && ((n > 1)) && [[ -z $server ]]; then continue; fi
    [[ $medium == share && $n == 1 ]] && continue  # one computer: the local run
    run "$n" "$medium" || echo "| $n | $medium | (the run failed; KEEP=1 keeps its logs) | | | |"
    stop_all
  done
done
echo "load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"

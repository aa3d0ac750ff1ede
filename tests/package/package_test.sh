#!/usr/bin/env bash
# CAROB as a Debian package: builds it with cpack, checks its control fields
# and file list, installs it (as root, when no carob package is installed
# already; otherwise unpacks it with dpkg -x), uses the installed programs
# (versions, a conversation in a fresh family, man pages, completion, the
# user units, the window from the desktop entry), then removes it and checks
# that none of its files is left. On the way it holds the package to lintian
# (no errors, no warnings), the programs to the distribution's hardening and
# the user units to their sandbox (their rating, and the paths the programs
# use, traced with strace, inside it). The machine is left as found.
#
#   tests/package/package_test.sh BUILD_DIR VERSION    (CAROB_PACKAGE_UNPACK=1: unpack even as root)
set -uo pipefail
build="$(cd "$1" && pwd)" version="$2"
work="$(mktemp -d /tmp/carob-package-XXXXXX)"
installed="" pids=() waits=() failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok (${SECONDS}s): $*"; }
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${waits[@]}"; do wait "$pid" 2>/dev/null; done
  [ "$installed" = yes ] && dpkg --purge carob >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# -- the package: its control fields (dependencies computed from the binaries) and files
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb="$(ls "$work"/pkg/*.deb)" || exit 1
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I cannot read the package"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Version) $(field Architecture)" = "carob $version $(dpkg --print-architecture)" ] ||
  fail "control: $(field Package) $(field Version) $(field Architecture)"
depends="$(field Depends)"
for lib in 'libc6 (>=' 'libstdc++6 (>=' 'libfltk1.3 (>='; do
  grep -qF "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
ok "built $(basename "$deb"); Depends: $depends"
expected="bin/carob bin/orb lib/systemd/user/carob-dispatch.service lib/systemd/user/carob.service
libexec/carob/carob libexec/carob/carob.folder libexec/carob/orb libexec/carob/orb.folder
share/applications/carob.desktop share/bash-completion/completions/orb share/doc/carob/copyright share/doc/carob/changelog.gz
share/icons/hicolor/scalable/apps/carob.svg share/man/man1/carob.1.gz share/man/man1/orb.1.gz
share/icons/hicolor/16x16/apps/carob.png share/icons/hicolor/32x32/apps/carob.png
share/icons/hicolor/48x48/apps/carob.png share/icons/hicolor/64x64/apps/carob.png
share/icons/hicolor/128x128/apps/carob.png share/icons/hicolor/256x256/apps/carob.png"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')"
[ "$(sort <<<"$files" | tr '\n' ' ')" = "$(tr ' \n' '\n\n' <<<"$expected" | sed 's#^#./usr/#' | sort | tr '\n' ' ')" ] &&
  ok "file list: the $(wc -l <<<"$files") files expected, all under /usr" || fail "file list: $files"

# -- lintian: neither errors nor warnings (scripts/deps.sh --test installs it)
if command -v lintian >/dev/null 2>&1; then
  lintian --allow-root "$deb" >"$work/lintian.log" 2>&1
  complaints="$(grep -E '^[EW]: ' "$work/lintian.log")"
  [ -z "$complaints" ] && ok "lintian: no errors, no warnings" || fail "lintian: $complaints"
else
  fail "no lintian here; scripts/deps.sh --test installs it"
fi

# -- installing
if [ "$(id -u)" -eq 0 ] && [ -z "${CAROB_PACKAGE_UNPACK:-}" ] &&
   ! dpkg-query -W -f='${Status}' carob 2>/dev/null | grep -q installed; then
  installed=yes root=""
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
  ok "installed with dpkg -i"
else
  root="$work/root"
  dpkg -x "$deb" "$root" || exit 1
  ok "unpacked with dpkg -x into $root"
fi
usr="$root/usr"

# -- the programs carry the distribution's hardening: each property
# hardening-check (devscripts) reports is "yes" for both
if command -v hardening-check >/dev/null 2>&1; then
  for p in carob orb; do
    report="$(hardening-check "$usr/libexec/carob/$p" 2>&1)"
    while read -r property; do
      line="$(grep -F " $property:" <<<"$report")"
      case "$line" in *": yes"*) ;; *) fail "$p is not hardened: ${line:-no '$property' in: $report}" ;; esac
    done <<'EOF'
Position Independent Executable
Stack protected
Fortify Source functions
Read-only relocations
Immediate binding
EOF
  done
  ok "hardening-check: PIE, stack protector, fortify, relro and bindnow in carob and orb"
else
  fail "no hardening-check here; scripts/deps.sh --test installs devscripts"
fi
for p in orb carob; do
  v="$("$usr/bin/$p" --version)"
  [ "$v" = "$p $version" ] && ok "$p --version: $v" || fail "$p --version printed '$v'"
done
# Help, version and usage errors need no home and touch no file (a system
# user's HOME does not exist; a fresh one stays empty). A row: the call, its
# exit status, and the one line that names a usage error ("" for none; then
# "Try ..." follows it as the last line).
mkdir -p "$work/fresh"
for home in /nonexistent "$work/fresh"; do
  while IFS='|' read -r args want said; do
    set -- $args
    env -u ORB -u ORB_ROOT -u XDG_DATA_HOME HOME="$home" "$usr/bin/$1" "${@:2}" </dev/null >/dev/null 2>"$work/hv.err"
    rc=$?
    [ "$rc" = "$want" ] && ! grep -q mkdir "$work/hv.err" ||
      fail "'$args' with HOME=$home: exit $rc, $(head -1 "$work/hv.err")"
    if [ -n "$said" ]; then
      [ "$(wc -l <"$work/hv.err")" = 2 ] && [ "$(head -1 "$work/hv.err")" = "$said" ] &&
        grep -q "^Try 'orb " "$work/hv.err" || fail "'$args' with HOME=$home said: $(cat "$work/hv.err")"
    fi
  done <<'EOF'
orb --help|0|
orb --version|0|
orb help|0|
orb help talk|0|
orb|2|orb: no command given
orb query|2|orb query: missing BANK
orb set k.dat a|2|orb set: missing VALUE after 'a'
orb talk --wait abc|2|orb talk: invalid number 'abc' for --wait
orb dispatch --bogus|2|orb dispatch: unrecognised option '--bogus'
orb --trace take|2|orb take: missing FILE
carob --help|0|
carob --version|0|
carob --bogus|2|
EOF
done
[ -z "$(ls -A "$work/fresh")" ] && ok "help, version and usage errors need no home and touch no file" ||
  fail "help, version or a usage error made $(cd "$work/fresh" && find . | head -3)"

# -- a conversation through the installed programs, in a fresh family under HOME
family="$work/home/.local/share/orb"
mkdir -p "$work/home"
run=(env -u ORB -u TEMP -u TMP -u DISPLAY -u ORB_ROOT -u XDG_DATA_HOME HOME="$work/home" PATH="$usr/bin:$PATH")
# Each program starts as the user units start it (in the family's root, made
# first), traced by strace when it is here (the paths it uses are held
# against the units' sandbox below): the program's pid is signalled, the
# tracer (which ends with it) waited for.
tracer="$(command -v strace)"
start() {  # start NAME COMMAND...
  local name="$1"; shift
  if [ -n "$tracer" ]; then
    "$tracer" -f -qq -s 4096 -o "$work/trace.$name" \
      sh -c 'echo $$ >"$0.tmp" && mv "$0.tmp" "$0" && cd "$1" && shift && exec "$@"' \
      "$work/pid.$name" "$family" "$@" </dev/null 2>"$work/$name.err" &
    waits+=($!)
    for _ in $(seq 1 300); do [ -s "$work/pid.$name" ] && break; sleep 0.1; done
    pids+=("$(cat "$work/pid.$name")")
  else
    (cd "$family" && exec "$@") </dev/null 2>"$work/$name.err" & pids+=($!) waits+=($!)
  fi
}
mkdir -p "$family"
start dispatch "${run[@]}" orb dispatch
start carob "${run[@]}" carob
for _ in $(seq 1 100); do
  [ -n "$("${run[@]}" orb query 'C:\FileLoc' 'RORU PO Input')" ] &&
    [ -n "$("${run[@]}" orb query 'C:\FileLoc' 'CAROB interface')" ] && break
  sleep 0.2
done
answer="$(printf 'the sky be blue\nWhat colour is the sky?\n' | "${run[@]}" orb talk --answers 1 --wait 60)"
[ "$answer" = "the sky=blue" ] && ok "conversation: 'What colour is the sky?' -> $answer" ||
  fail "the answer was '$answer'; carob said: $(cat "$work/carob.err")"
for pid in "${pids[@]}"; do kill -TERM "$pid" || fail "process $pid was gone before SIGTERM"; done
for pid in "${waits[@]}"; do wait "$pid" || fail "process $pid ended with $? on SIGTERM"; done
pids=() waits=()
for app in CAROB 'RORU PO'; do
  [ "$("${run[@]}" orb query 'C:\TEMP\STATUS' "$app running")" = No ] || fail "$app not recorded as stopped"
done
for f in c/ORB/CAROB/CAROB.dat c/ORB/CAROB/CAROB.interface.POF 'c/ORB/TOOLS/RORU PO.input.POF' \
         c/ORB/TOOLS/User.interface.POF c/TEMP/STATUS c/FileLoc; do
  [ -f "$family/$f" ] || fail "no $f in the family root"
done
grep -q '^the sky=blue' "$family/c/ORB/CAROB/CAROB.dat" || fail "the sentence was not learnt"
[ "$(ls "$usr/libexec/carob" | tr '\n' ' ')" = "carob carob.folder orb orb.folder " ] ||
  fail "files appeared beside the programs: $(ls "$usr/libexec/carob")"
ok "stopped by SIGTERM and recorded so; the data lies in \$HOME/.local/share/orb"

# -- the paths the programs used, against the user units' sandbox: under the
# home folder only the family's root is seen at all; what they made, changed
# or removed lies in the family's root or in /tmp (their own /tmp there;
# here, not under this test's folder); a relative name is taken from the
# family's root, where they start. The launchers make the family's folders
# with mkdir -p: its operands are checked, not its steps (which go by
# relative names from folder to folder).
if [ -n "$tracer" ]; then
  cat "$work"/trace.* | grep -v ' = -1 ENOENT' >"$work/traced"
  verdict="$(awk -v family="$family" -v work="$work" '
    function under(path, folder) { return index(path "/", folder "/") == 1 }
    function inside(call, path, written) {  # notes path when the sandbox would refuse it
      if (path !~ /^\//) path = family "/" path
      if (under(path, work "/home") && !under(path, family)) { out = out " " call ":" path; return }
      if (!written) return
      writes++
      if (under(path, family) || path == "/dev/null") return
      if (under(path, work) || path !~ /^\/tmp\/./) out = out " " call ":" path
    }
    # The quoted strings of a line, into q[1..n].
    function quoted(text,   n) {
      n = 0
      while (match(text, /"[^"]*"/)) { q[++n] = substr(text, RSTART + 1, RLENGTH - 2); text = substr(text, RSTART + RLENGTH) }
      return n
    }
    FNR == NR { if ($2 ~ /^execve\(".*\/mkdir",$/ && $0 ~ /\["mkdir", "-p", /) maker[$1] = 1; next }
    ($1 in maker) {
      if ($2 ~ /^execve/) { n = quoted(substr($0, index($0, "\"-p\", ") + 6)); for (i = 1; i <= n; i++) if (q[i] ~ /^\//) inside("mkdir", q[i], 1) }
      next
    }
    {
      call = substr($2, 1, index($2, "(") - 1)
      # Only the calls that take a path name one (a read or write shows data).
      if (call == "execve" || call !~ /^(open|creat|stat|lstat|newfstatat|statx|access|faccessat|mkdir|rename|unlink|rmdir|link|symlink|readlink|chdir|statfs|truncate|chmod|fchmodat|chown|fchownat|lchown|utime|futimesat|mknod)/) next
      n = quoted(substr($0, index($0, "(")))
      written = call ~ /^(mkdir|rename|unlink|rmdir|link|symlink|creat|truncate|chmod|fchmodat|utimensat)/
      if (call ~ /^open/) { written = $0 ~ /O_(WRONLY|RDWR|CREAT)/; if (n > 1) n = 1 }
      for (i = 1; i <= n; i++) {
        if (q[i] == "" || q[i] ~ /^\/proc\/self\// || index(q[i], work "/pid.") == 1) continue
        inside(call, q[i], written)
      }
    }
    END { print writes + 0 " " out }' "$work/traced" "$work/traced")"
  writes="${verdict%% *}" outside="${verdict#* }"
  [ "$writes" -gt 0 ] && [ -z "$outside" ] &&
    ok "the programs wrote $writes times, all inside the units' sandbox" ||
    fail "paths outside the units' sandbox:${outside:- (nothing written was traced)}"
  # ... and every system call they made is one the units' filter lets
  # through (@system-service, without @privileged).
  members() {  # the calls of a systemd syscall group, its subgroups opened
    systemd-analyze syscall-filter "$1" | sed -nE 's/^ +([@a-z0-9_-]+)$/\1/p' |
      while read -r m; do case "$m" in @*) members "$m" ;; *) echo "$m" ;; esac; done
  }
  if command -v systemd-analyze >/dev/null 2>&1; then
    sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$work/traced" | sort -u >"$work/calls.used"
    members @system-service | sort -u >"$work/calls.allowed"
    members @privileged | sort -u >"$work/calls.privileged"
    refused="$(comm -23 "$work/calls.used" "$work/calls.allowed"; comm -12 "$work/calls.used" "$work/calls.privileged")"
    [ -s "$work/calls.used" ] && [ -z "$refused" ] &&
      ok "the $(wc -l <"$work/calls.used") system calls they made pass the units' filter" ||
      fail "system calls the units' filter refuses: ${refused:-(none traced)}"
  fi
else
  echo "SKIPPED: no strace here; the paths and calls the programs use were not traced" >&2
fi

# -- man pages (found, rendered without warnings) and orb's completion
pages="$(if [ -n "$root" ]; then MANPATH="$usr/share/man" man -w carob orb; else man -w carob orb; fi)"
[ "$(tr '\n' ' ' <<<"$pages")" = "$usr/share/man/man1/carob.1.gz $usr/share/man/man1/orb.1.gz " ] &&
  ok "man -w carob orb: $(tr '\n' ' ' <<<"$pages")" || fail "man -w found '$pages'"
for page in carob orb; do
  w="$(man --warnings -l "$usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)"
  [ -z "$w" ] || fail "$page(1) renders with warnings: $w"
done
while IFS='|' read -r line want; do  # completing "orb LINE" offers WANT
  got="$(bash -c 'source "$1"; shift; COMP_WORDS=(orb "$@"); COMP_CWORD=$#; _orb; echo "${COMPREPLY[*]}"' \
         _ "$usr/share/bash-completion/completions/orb" $line)"
  [ "$got" = "$want" ] || fail "completing 'orb $line' offers '$got', not '$want'"
done <<'EOF'
di|dispatch
--trace ta|take talk
talk --|--to --wait --answers --prompt --no-prompt --help
dispatch --|--once --local-id --help
help s|set status
EOF
ok "man pages and completion"

# -- the user units, pointed at where the programs are (a runtime folder of
# its own for containers without a login session)
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$work/units" && mkdir -m 700 "$work/runtime"
  for unit in carob-dispatch.service carob.service; do
    grep -q '^ExecStart=/usr/bin/' "$usr/lib/systemd/user/$unit" || fail "$unit does not start from /usr/bin"
    sed "s#^ExecStart=/usr/bin/#ExecStart=$usr/bin/#" "$usr/lib/systemd/user/$unit" >"$work/units/$unit"
  done
  grep -q '^UnsetEnvironment=DISPLAY' "$work/units/carob.service" || fail "carob.service keeps DISPLAY"
  out="$(cd "$work/units" && MANPATH="$usr/share/man:$(manpath 2>/dev/null)" \
         XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
         systemd-analyze verify --user carob-dispatch.service carob.service 2>&1)"
  if [ $? -eq 0 ] && [ -z "$out" ]; then ok "systemd-analyze verify --user: the units are clean"
  elif grep -qiE 'failed to (connect|initialize|set up|lookup)' <<<"$out"; then
    echo "SKIPPED: systemd-analyze verify cannot run here: $out" >&2
  else fail "systemd-analyze verify: $out"; fi
  # Sandboxed to the family's root: each unit binds the very folder the
  # launchers default to, and is rated at most 5 (of 10, "UNSAFE" above 9).
  while read -r unit most; do
    grep -qx 'BindPaths=%h/.local/share/orb' "$work/units/$unit" &&
      grep -qF 'ORB_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/orb' "$usr/bin/orb" ||
      fail "$unit: its BindPaths= is not the launchers' default root"
    out="$(cd "$work/units" && XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
           systemd-analyze security --offline=true --user "$unit" 2>&1)"
    level="$(sed -nE 's/.*Overall exposure level for [^:]*: ([0-9.]+) .*/\1/p' <<<"$out")"
    if [ -n "$level" ] && awk -v l="$level" -v m="$most" 'BEGIN { exit !(l <= m) }'; then
      ok "systemd-analyze security --user $unit: $level (at most $most)"
    else
      fail "systemd-analyze security --user $unit: ${level:-$(tail -3 <<<"$out")} (at most $most)"
    fi
  done <<'EOF'
carob-dispatch.service 5
carob.service 5
EOF
else
  echo "SKIPPED: no systemd-analyze here; the units were not verified" >&2
fi

# -- the window, started from the desktop entry's Exec line
if CAROB_INSTALLED_ROOT="${root:-/}" "$build/desktop_entry_test" >"$work/desktop.log" 2>&1; then
  grep -q SKIPPED "$work/desktop.log" && echo "SKIPPED: $(grep -m1 -A1 SKIPPED "$work/desktop.log")" >&2 ||
    ok "the desktop entry's Exec line opened the window (picture: $build/artifacts/desktop_entry.xwd)"
else
  cat "$work/desktop.log" >&2; fail "desktop_entry_test"
fi

# -- removing
if [ "$installed" = yes ]; then
  dpkg --purge carob >/dev/null 2>&1 || fail "dpkg --purge carob failed"
  installed="" left=""
  for f in $files /usr/libexec/carob; do [ -e "${f#.}" ] || [ -L "${f#.}" ] && left+=" ${f#.}"; done
  [ -z "$left" ] && ok "purged; no file of the package is left" || fail "left after removal:$left"
  dpkg-query -W -f='${Status}' carob 2>/dev/null | grep -q installed && fail "dpkg still lists carob"
fi

[ "$failures" -eq 0 ] || { echo "package test: $failures failure(s)" >&2; exit 1; }
echo "package test: all passed"

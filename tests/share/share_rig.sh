#!/usr/bin/env bash
# A network share on this machine for the share tests: Samba's smbd serves a
# fresh folder on the loopback interface with a private configuration, and
# smbnetfs (FUSE) mounts of it, two unless told otherwise, stand for as many
# computers.
#
#   share_rig.sh up <dir> [MOUNTS]   starts it (MOUNTS from 1 to 16, default
#                                    2); prints one line for the server and
#                                    one for each mount, in order:
#                                      server <folder the server shares>
#                                      mount <first mount's view of the share>
#                                      mount <second mount's view of the share>
#                                      ...
#   share_rig.sh down <dir>          unmounts them all and stops the server
#
# Everything lives under <dir> (configuration, state, logs, the shared
# folder, the mount points). "up" exits 77 with the reason on stderr when the
# rig cannot run here: no smbd or smbnetfs, no /dev/fuse, or the SMB port
# (445 on 127.0.0.1) is taken or cannot be bound.
set -uo pipefail

skip() { echo "share rig unavailable: $*" >&2; exit 77; }

cmd=${1:-}
dir=${2:-}
mounts=${3:-2}
usage() { echo "usage: $0 up <dir> [MOUNTS] | down <dir>" >&2; exit 2; }
[ -n "$cmd" ] && [ -n "$dir" ] || usage
[[ $mounts =~ ^[0-9]+$ ]] && ((mounts >= 1 && mounts <= 16)) || usage
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

down() {
  for m in "$dir"/mnt*; do
    if mountpoint -q "$m" 2>/dev/null; then
      fusermount -u "$m" 2>/dev/null || fusermount -uz "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
    fi
  done
  for f in "$dir"/smbnetfs*.pid "$dir/smbd.pid"; do
    [ -s "$f" ] || continue
    pid=$(cat "$f")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$f"
  done
}

if [ "$cmd" = down ]; then down; exit 0; fi
[ "$cmd" = up ] || usage

SMBD=$(command -v smbd || echo /usr/sbin/smbd)
[ -x "$SMBD" ] || skip "no smbd (Debian package samba)"
command -v smbnetfs >/dev/null || skip "no smbnetfs (Debian package smbnetfs)"
command -v fusermount >/dev/null || command -v fusermount3 >/dev/null || skip "no fusermount"
[ -c /dev/fuse ] && [ -r /dev/fuse ] && [ -w /dev/fuse ] || skip "no usable /dev/fuse"
# The port must be free: another server there would answer instead of ours.
if (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null; then skip "port 445 on 127.0.0.1 is taken"; fi

mkdir -p "$dir/share" "$dir/state" "$dir/private" "$dir/run" "$dir/cache" "$dir/lock"
for n in $(seq "$mounts"); do mkdir -p "$dir/mnt$n" "$dir/home$n/.smb"; done
chmod 0777 "$dir/share"
cat >"$dir/smb.conf" <<CONF
[global]
  workgroup = CAROBTEST
  netbios name = CAROBTEST
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  map to guest = Bad User
  guest account = root
  server min protocol = SMB2
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  lock directory = $dir/lock
  state directory = $dir/state
  cache directory = $dir/cache
  private dir = $dir/private
  pid directory = $dir/run
  ncalrpc dir = $dir/run/ncalrpc
  log file = $dir/smbd.log
  log level = 1
[share]
  path = $dir/share
  guest ok = yes
  guest only = yes
  read only = no
  force user = root
  create mask = 0666
CONF
"$SMBD" -D -s "$dir/smb.conf" 2>"$dir/smbd.err" || skip "smbd would not start: $(head -c 300 "$dir/smbd.err")"
for _ in $(seq 100); do
  [ -s "$dir/run/smbd.pid" ] && (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && break
  sleep 0.1
done
[ -s "$dir/run/smbd.pid" ] && cp "$dir/run/smbd.pid" "$dir/smbd.pid"
if ! (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null; then
  down; skip "smbd does not listen on 127.0.0.1:445: $(tail -c 300 "$dir/smbd.log" 2>/dev/null)"
fi

for n in $(seq "$mounts"); do
  home="$dir/home$n"
  cat >"$home/.smb/smb.conf" <<CONF
[global]
  client min protocol = SMB2
  workgroup = CAROBTEST
CONF
  cat >"$home/.smb/smbnetfs.conf" <<CONF
auth "guest" ""
host 127.0.0.1 visible=true
smb_query_browsers false
CONF
  # smbnetfs ignores the auth and host lines of a file others may read.
  chmod 600 "$home/.smb/smbnetfs.conf"
  HOME="$home" smbnetfs "$dir/mnt$n" -o config="$home/.smb/smbnetfs.conf",log_file="$dir/smbnetfs$n.log" \
      2>"$dir/smbnetfs$n.err" || { down; skip "smbnetfs would not mount: $(head -c 300 "$dir/smbnetfs$n.err")"; }
  # The oldest: the client itself, not a connection process it started.
  pid=$(pgrep -o -f "smbnetfs $dir/mnt$n " || true)
  [ -n "$pid" ] && echo "$pid" >"$dir/smbnetfs$n.pid"
done
for n in $(seq "$mounts"); do
  ok=
  for _ in $(seq 100); do
    if touch "$dir/mnt$n/127.0.0.1/share/.rig$n" 2>/dev/null; then ok=1; break; fi
    sleep 0.2
  done
  [ -n "$ok" ] || { down; skip "mount $n does not reach the share: $(tail -c 300 "$dir/smbnetfs$n.log" 2>/dev/null)"; }
  rm -f "$dir/mnt$n/127.0.0.1/share/.rig$n"
done
echo "server $dir/share"
for n in $(seq "$mounts"); do echo "mount $dir/mnt$n/127.0.0.1/share"; done

#!/usr/bin/env bash
# Installs what building, running and testing CAROB needs, from Debian's
# packages, when it is missing. Safe to run again: it does nothing when all
# is there.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libfltk1.3-dev)
for option in "$@"; do
  case "$option" in
    --test)
      # The window tests drive a real window on a virtual display.
      packages+=(xvfb xdotool x11-apps strace)
      # The package test: cpack computes the dependencies with dpkg-shlibdeps
      # (dpkg-dev); man -w finds the installed pages (man-db).
      packages+=(dpkg-dev man-db)
      # It also holds the package to lintian and the programs to
      # hardening-check (devscripts), and traces with strace (above) the paths
      # the programs use against the user units' sandbox.
      packages+=(lintian devscripts)
      # The share tests: a Samba server on the loopback interface, mounted
      # twice through FUSE (tests/share/share_rig.sh).
      packages+=(samba smbnetfs fuse3)
      ;;
    --windows)
      # The Windows build (mingw-w64 with POSIX threads, for std::thread),
      # GoogleTest's source to build it with that toolchain, and wine to run
      # the results; xvfb and xwd for the window under wine.
      packages+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev googletest wine wine64 xvfb x11-apps)
      ;;
    --icons)
      # scripts/icons.sh: the PNG icons from the SVG.
      packages+=(librsvg2-bin python3)
      ;;
    *) echo "usage: scripts/deps.sh [--test] [--windows] [--icons]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "error: these Debian packages are missing and I am not root: ${missing[*]}" >&2
    echo "       install them with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "error: no apt-get on this machine; install by hand: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || { echo "error: apt-get update failed" >&2; exit 1; }
$SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=900 "${missing[@]}" >/dev/null || {
  echo "error: could not install: ${missing[*]}" >&2; exit 1; }

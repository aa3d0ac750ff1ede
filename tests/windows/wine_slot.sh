#!/bin/sh
# Runs a Windows test program under wine, in a wine prefix of its own.
# The tests take the drives of their prefix (C:, D:, E:, F:) as theirs, so
# two run at once only in two prefixes: scripts/test-windows.sh makes one
# for each slot, $CAROB_WINE_PREFIXES/<slot>, and gives CTest the slots as
# its resource "wine"; CTest names the slot a test got in
# CTEST_RESOURCE_GROUP_0_WINE ("id:p1,slots:1"). Run without slots (ctest
# with no resource file, one test at a time), a test uses $WINEPREFIX.
#
# Usage: wine_slot.sh [--display] PROGRAM [ARGUMENT...]
#   --display  the program draws on $CAROB_WINDOW_DISPLAY; without it, it
#              has no display, as a service would run it
set -eu
if [ "${1:-}" = "--display" ]; then
  shift
  DISPLAY=${CAROB_WINDOW_DISPLAY:-}
  export DISPLAY
else
  unset DISPLAY
fi
if [ -n "${CTEST_RESOURCE_GROUP_0_WINE:-}" ]; then
  slot=${CTEST_RESOURCE_GROUP_0_WINE#id:}
  slot=${slot%%,*}
  WINEPREFIX=${CAROB_WINE_PREFIXES:?the folder of the wine prefixes}/$slot
  export WINEPREFIX
fi
exec wine "$@"

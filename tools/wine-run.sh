#!/bin/sh
# Runs a Windows program under Wine, quietly and without a display:
#   WINEPREFIX=DIR LANG=ja_JP.UTF-8 tools/wine-run.sh PROGRAM.exe [ARGS...]
# The prefix (see tools/wine-prefix.sh) and the locale come from the caller.
# Exits with the program's exit code.
set -eu
: "${WINEPREFIX:?set WINEPREFIX to a prefix made by tools/wine-prefix.sh}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"

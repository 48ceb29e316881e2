#!/bin/sh
# Makes a Wine prefix for the Windows tests, once:
#   tools/wine-prefix.sh DIR win64|win32
set -eu
dir=$1
arch=$2
if [ ! -f "$dir/system.reg" ]; then
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  WINEPREFIX=$dir WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    DISPLAY= wineboot --init
  WINEPREFIX=$dir wineserver --wait
fi
echo "wine prefix $dir ($arch) ready"

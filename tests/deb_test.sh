#!/bin/sh
# The Debian packages as their users meet them: made by CPack, checked by
# lintian, installed with dpkg; the tools run from /usr/bin, the C consumer
# builds with pkg-config and with find_package(vtl) and sends a mail over
# smtps to a local server; then they are purged and nothing of vtl is left.
# As root; it refuses to run where vtl is installed already, and purges its
# packages even when it fails.
#   deb_test.sh BUILD-DIR     (configured with the deb preset, and built)
set -eu
[ "$(id -u)" = 0 ] || { echo "deb_test.sh installs packages: run it as root" >&2; exit 1; }
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
packages="libvtl1 libvtl-dev vtl-tools"
# Warnings judged harmless here: no Debian bug to close (these are not
# uploaded to Debian), and CPack's own ldconfig calls beside our trigger.
accepted="initial-upload-closes-no-bugs|maintscript-calls-ldconfig"

# shellcheck disable=SC2086
if dpkg-query -W -f '${db:Status-Status}\n' $packages 2>/dev/null | grep -qvx not-installed ||
  pkg-config --exists vtl || command -v vtl-sendmail >/dev/null || [ -e /usr/include/vtl.h ]; then
  echo "vtl is installed already (not by this test): not touching it" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-deb.XXXXXX")
root=$here/..
. "$here/support/sink.sh"
installed=
cleanup() {
  stop_sinks
  # shellcheck disable=SC2086
  [ -z "$installed" ] || dpkg --purge $packages >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
for deb in "$work"/pkg/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Architecture|Section|Depends|Installed-Size):|^ +[0-9]+ bytes'
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print "  " $1, $6, $7, $8 }'
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >>"$work/files"
done
version=$(dpkg-deb -f "$work"/pkg/libvtl1_*.deb Version)

lintian --fail-on none --display-info --pedantic "$work"/pkg/*.deb >"$work/lintian" 2>"$work/lintian.err" ||
  { cat "$work/lintian.err" >&2; exit 1; }
echo "== lintian (accepted: $accepted)"
cat "$work/lintian"
if grep -E '^[EW]: ' "$work/lintian" | grep -Evq ": ($accepted)( |$)"; then
  echo "lintian found errors or warnings not accepted" >&2
  exit 1
fi

installed=yes
dpkg -i "$work"/pkg/*.deb >/dev/null
ldconfig -p | grep -q 'libvtl\.so\.1 '
# The symbols file lists exactly what the library exports.
dpkg-gensymbols -v"$version" -plibvtl1 -e"$(dpkg -L libvtl1 | grep '\.so\.1\.')" \
  -I"$here/../cmake/deb/symbols" -O"$work/symbols" -c4 >/dev/null
[ "$(/usr/bin/vtl-sendmail --version)" = "vtl-sendmail ${version%-*}" ]
/usr/bin/vtl-sendmail --help | grep -q '^usage: vtl-sendmail'

start_consumer_sink

# /usr's directories are the system's: nothing but the library to name.
[ "$(pkg-config --cflags --libs vtl | xargs)" = "-lvtl" ]
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/by-pkg-config" "$here/consumer/consumer.c" $(pkg-config --cflags --libs vtl)
consumer_sends "$work/by-pkg-config" 1
cmake -S "$here/consumer" -B "$work/by-cmake" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/by-cmake" >/dev/null
consumer_sends "$work/by-cmake/consumer" 2

# shellcheck disable=SC2086
dpkg --purge $packages >/dev/null
installed=
while read -r file; do
  if [ -e "$file" ] || [ -L "$file" ]; then echo "$file is left after the purge" >&2; exit 1; fi
done <"$work/files"
if ldconfig -p | grep -q 'libvtl\.so' || pkg-config --exists vtl ||
  cmake -S "$here/consumer" -B "$work/after" >/dev/null 2>&1; then
  echo "vtl is still found after the purge" >&2
  exit 1
fi
echo "ok: purged, vtl is found no more"

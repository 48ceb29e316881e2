#!/bin/sh
# The C program README.md shows, as a reader copies it: the ```c block after
# the line "<!-- sample: send.c -->", built with warnings as errors against
# the build's vtl.h and libvtl.so, and run against a local SMTP sink. It must
# exit 0, and its mail must arrive.
#   readme_sample_test.sh README INCLUDE-DIR LIBRARY-DIR [C-COMPILER]
set -eu
readme=$1
include=$2
libdir=$3
cc=${4:-cc}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-readme.XXXXXX")
root=$here/..
. "$here/support/sink.sh"

awk '$0 == "<!-- sample: send.c -->" { marked = 1; next }
     marked && !inside && $0 == "```c" { inside = 1; next }
     inside && $0 == "```" { exit }
     inside { print }' "$readme" >"$work/send.c"
[ -s "$work/send.c" ] || { echo "no sample send.c in $readme" >&2; exit 1; }

"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$include" -o "$work/send" "$work/send.c" \
  -L"$libdir" -lvtl -Wl,-rpath,"$libdir"

start_sink mail
"$work/send" "127.0.0.1:$port" >"$work/send.out"
grep -q '^sent: 250' "$work/send.out" || { cat "$work/send.out" >&2; exit 1; }
await_mail mail 1 "Shall we meet at noon?"
echo "ok: $(cat "$work/send.out")"

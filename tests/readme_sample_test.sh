#!/bin/sh
# The C program README.md shows, as a reader copies it: the ```c block after
# the line "<!-- sample: send.c -->", built with warnings as errors against
# the build's vtl.h and libvtl.so, and run against a local SMTP sink. It must
# exit 0, and its mail must arrive. Then the same program with the block
# after "<!-- sample: send_ex.c -->" in place of its VTLSendMail call, as the
# README says, run where invoice.pdf lies: its mail must arrive for both
# recipients, with the file.
#   readme_sample_test.sh README INCLUDE-DIR LIBRARY-DIR [C-COMPILER]
set -eu
readme=$1
include=$2
libdir=$(cd "$3" && pwd) # the program runs in another folder too
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
awk '$0 == "<!-- sample: send_ex.c -->" { marked = 1; next }
     marked && !inside && $0 == "```c" { inside = 1; next }
     inside && $0 == "```" { exit }
     inside { print "  " $0 }' "$readme" >"$work/call.c"
[ -s "$work/call.c" ] || { echo "no sample send_ex.c in $readme" >&2; exit 1; }
# send.c with the statement that calls VTLSendMail replaced by call.c.
awk -v call="$work/call.c" '
  /^ *SendResult result =/ { skipping = 1; while ((getline line < call) > 0) print line }
  skipping { if ($0 ~ /\);$/) skipping = 0; next }
  { print }' "$work/send.c" >"$work/send_ex.c"
! grep -q 'VTLSendMail(' "$work/send_ex.c" || { echo "send_ex.c still calls VTLSendMail" >&2; exit 1; }

for program in send send_ex; do
  "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$include" -o "$work/$program" \
    "$work/$program.c" -L"$libdir" -lvtl -Wl,-rpath,"$libdir"
done

start_sink mail
"$work/send" "127.0.0.1:$port" >"$work/send.out"
grep -q '^sent: 250' "$work/send.out" || { cat "$work/send.out" >&2; exit 1; }
await_mail mail 1 "Shall we meet at noon?"
echo "ok: $(cat "$work/send.out")"

mkdir "$work/run"
printf '%%PDF-1.4 an invoice\n' >"$work/run/invoice.pdf"
(cd "$work/run" && "$work/send_ex" "127.0.0.1:$port") >"$work/send_ex.out"
grep -q '^sent: 250' "$work/send_ex.out" || { cat "$work/send_ex.out" >&2; exit 1; }
await_mail mail 2 '^To: hanako@example.jp, "Sato, Jiro" <jiro@example.jp>'
for text in 'filename="invoice.pdf"' "^$(base64 -w 0 "$work/run/invoice.pdf")" 'Reply-To: billing@example.com'; do
  grep -q "$text" "$work/mail/002.eml" || { echo "send_ex's mail lacks $text" >&2; exit 1; }
done
echo "ok: $(cat "$work/send_ex.out")"

#!/bin/sh
# vtl-sendmail under valgrind memcheck: a Japanese mail delivered to a real
# SMTP server (tools/smtp_sink.py), a refused connection, and a bad
# argument. Any memory error or leak fails the test.
#   valgrind_sendmail.sh VALGRIND VTL-SENDMAIL SAMPLES-DIR
set -eu
valgrind=$1
sendmail=$2
samples=$3
here=$(dirname "$0")
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-valgrind.XXXXXX")
sink=
cleanup() {
  [ -z "$sink" ] || kill "$sink" 2>/dev/null || true
  [ -z "$sink" ] || wait "$sink" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 "$here/../tools/smtp_sink.py" --host 127.0.0.1 --port 0 --dir "$work/mail" \
  >"$work/sink.out" 2>"$work/sink.err" &
sink=$!
port=
for _ in $(seq 100); do
  port=$(awk '$1 == "ready" { print $3; exit }' "$work/sink.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/sink.err" >&2; exit 1; }

memcheck() {
  expected=$1
  shift
  set +e
  LANG=ja_JP.SJIS "$valgrind" --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=all \
    "$sendmail" "$@" >"$work/out" 2>"$work/valgrind"
  status=$?
  set -e
  if [ "$status" != "$expected" ]; then
    echo "expected exit $expected, got $status: $*" >&2
    cat "$work/out" "$work/valgrind" >&2
    exit 1
  fi
  echo "clean, exit $status: $(cat "$work/out")"
}

# Name and subject in Shift_JIS: "yamada" and hiragana A.
name=$(printf '\216\122\223\143')
subject=$(printf '\202\240')
memcheck 0 --server 127.0.0.1 --port "$port" --from a@example.com --from-name "$name" \
  --to b@example.com --to-name Bob --subject "$subject" --body-file "$samples/japanese.sjis.txt"
[ -f "$work/mail/001.eml" ] || { echo "no mail arrived" >&2; exit 1; }
memcheck 4 --server 127.0.0.1 --port 1 --from a@example.com --from-name A \
  --to b@example.com --to-name B --subject S --body-file "$samples/japanese.sjis.txt"
memcheck 5 --server 127.0.0.1 --port "$port" --from a@example.com --from-name A \
  --to b@example.com --to-name B --subject "" --body-file "$samples/japanese.sjis.txt"

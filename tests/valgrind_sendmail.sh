#!/bin/sh
# vtl-sendmail under valgrind memcheck: a Japanese mail delivered to a real
# SMTP server (tools/smtp_sink.py), the same over TLS with a login, a
# certificate refused, a refused connection, and a bad argument. Any memory
# error or leak fails the test.
#   valgrind_sendmail.sh VALGRIND VTL-SENDMAIL SAMPLES-DIR
set -eu
valgrind=$1
sendmail=$2
samples=$3
here=$(dirname "$0")
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-valgrind.XXXXXX")
root=$here/..
. "$here/support/sink.sh"

sh "$here/tls/make_certs.sh" "$work/certs"
start_sink tls --tls implicit --cert "$work/certs/good.pem" --login alice:secret
tls_port=$port
start_sink mail

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
# "Takahashi" with an IBM extension kanji: the mail goes out in UTF-8.
memcheck 0 --server 127.0.0.1 --port "$port" --from a@example.com \
  --from-name "$(printf '\373\374\213\264')" --to b@example.com --to-name Bob \
  --subject "$subject" --body-file "$samples/japanese.sjis.txt"
grep -q 'charset=UTF-8' "$work/mail/002.eml" || { echo "no UTF-8 mail arrived" >&2; exit 1; }
VTL_PASSWORD=secret memcheck 0 --server "smtps://alice@localhost:$tls_port" \
  --ca-file "$work/certs/ca.pem" --from a@example.com --from-name "$name" \
  --to b@example.com --to-name Bob --subject "$subject" --body-file "$samples/japanese.sjis.txt"
[ -f "$work/tls/001.eml" ] || { echo "no mail arrived over TLS" >&2; exit 1; }
VTL_PASSWORD=secret memcheck 9 --server "smtps://alice@localhost:$tls_port" \
  --from a@example.com --from-name A --to b@example.com --to-name B --subject S \
  --body-file "$samples/japanese.sjis.txt"
memcheck 4 --server 127.0.0.1 --port 1 --from a@example.com --from-name A \
  --to b@example.com --to-name B --subject S --body-file "$samples/japanese.sjis.txt"
memcheck 5 --server 127.0.0.1 --port "$port" --from a@example.com --from-name A \
  --to b@example.com --to-name B --subject "" --body-file "$samples/japanese.sjis.txt"

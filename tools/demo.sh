#!/bin/bash
# Sends the Japanese sample through vtl-sendmail to a local SMTP server and
# shows what arrived; then does the same through the 64-bit Windows DLL, as a
# Windows host calls it, under Wine. Meant for a fresh Debian machine, run as
# root from the top of the repository:
#
#   tools/demo.sh
#
# It installs the build tools, builds the release preset, starts
# tools/smtp_sink.py on 127.0.0.1 (a free port), sends samples/japanese.sjis.txt
# with the subject and names of samples/japanese.meta as Shift_JIS under
# LANG=ja_JP.SJIS, and prints the message as received and decoded. Two mails
# that go out in UTF-8 follow: a Japanese one with an emoji, which ISO-2022-JP
# cannot carry, from LANG=ja_JP.UTF-8, and a German one from LANG=de_DE.UTF-8.
# It then makes a test CA (tests/tls/make_certs.sh), starts a second server that
# speaks TLS from the first byte and takes mail only after a login, and
# sends the same mail there as smtps://demo@localhost with the password in
# VTL_PASSWORD, trusting only the test CA (--ca-file).
# As root it then builds the win64 preset with mingw-w64 and lets the test
# host (tests/win_host.c) load build/win64/bin/vtl.dll under Wine, in a
# Japanese user locale (JPN, code page 932), and call VTLSendMail; then the
# German mail again, its texts in code page 1252 under a German user locale
# (DEU, 1252). The DLL has no port argument, so that server listens on port
# 25 of 127.0.0.25.
# Nothing leaves this machine. The exit status is not 0 when a step, a send
# included, fails.
set -euo pipefail

cd "$(dirname "$0")/.."
PYTHON=/usr/bin/python3
SENDMAIL=build/release/vtl-sendmail

step() { printf '\n==> %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-demo.XXXXXX")
sink_pid=
port=

# start_sink HOST PORT DIR [OPTION...]: starts tools/smtp_sink.py; sets
# sink_pid and port.
start_sink() {
  "$PYTHON" tools/smtp_sink.py --host "$1" --port "$2" --dir "$3" "${@:4}" \
    >"$work/sink.out" 2>"$work/sink.err" &
  sink_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(awk '$1 == "ready" { print $3; exit }' "$work/sink.out")
    [ -n "$port" ] && break
    kill -0 "$sink_pid" 2>/dev/null || { cat "$work/sink.err" >&2; die "the server did not start"; }
    sleep 0.1
  done
  [ -n "$port" ] || die "the server did not say ready within 10 s"
  echo "listening on $1 port $port"
}

stop_sink() {
  [ -n "$sink_pid" ] || return 0
  if kill -0 "$sink_pid" 2>/dev/null; then
    kill -TERM "$sink_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$sink_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$sink_pid" 2>/dev/null || true
  fi
  wait "$sink_pid" 2>/dev/null || true
  sink_pid=
}

# wait_for_mail FILE: waits up to 10 s for the server to keep a message.
wait_for_mail() {
  for _ in $(seq 100); do [ -f "$1" ] && return 0; sleep 0.1; done
  die "the server has no message after 10 s"
}

cleanup() {
  local status=$?
  stop_sink
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a noisy command with its output kept in a log, shown only on failure.
quietly() {
  local log="$work/step.log"
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    die "failed: $*"
  fi
}

step "installing build tools, aiosmtpd, mingw-w64 and Wine"
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  quietly dpkg --add-architecture i386
  quietly apt-get update -q
  quietly apt-get install -y -q --no-install-recommends \
    cmake g++ make python3 python3-aiosmtpd googletest libssl-dev openssl \
    g++-mingw-w64-x86-64 wine wine64 wine32:i386 locales
  # Wine takes the user locale from LANG, once the locale exists.
  for l in ja_JP.UTF-8 de_DE.UTF-8; do
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" >>/etc/locale.gen
  done
  quietly locale-gen
else
  echo "not root: skipping apt-get, using what is installed"
fi

step "building (cmake --preset release)"
quietly cmake --preset release
quietly cmake --build --preset release -j2
[ -x "$SENDMAIL" ] || die "$SENDMAIL was not built"

step "starting the SMTP server on 127.0.0.1"
start_sink 127.0.0.1 0 "$work/mail"

step "sending samples/japanese.sjis.txt under LANG=ja_JP.SJIS"
# The subject and names go on the command line as Shift_JIS bytes, which is
# easiest from Python.
set +e
# The same texts, each ending in a zero byte, also go to texts.bin for the
# Windows host below.
"$PYTHON" - "$SENDMAIL" "$port" samples/japanese.meta samples/japanese.sjis.txt \
  "$work/texts.bin" <<'EOF'
import os, subprocess, sys

sendmail, port, meta_path, body_path, texts_path = sys.argv[1:]
meta = {}
with open(meta_path, encoding="utf-8") as f:
    for line in f:
        if line.strip() and not line.lstrip().startswith("#"):
            key, _, value = line.partition(":")
            meta[key.strip()] = value.strip()
env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_CTYPE", "LANGUAGE")}
env["LANG"] = "ja_JP.SJIS"
argv = [sendmail, "--server", "127.0.0.1", "--port", port,
        "--from", meta["from"], "--from-name", meta["from-name"].encode("cp932"),
        "--to", meta["to"], "--to-name", meta["to-name"].encode("cp932"),
        "--subject", meta["subject"].encode("cp932"), "--body-file", body_path]
with open(body_path, "rb") as f:
    body = f.read()
texts = [b"127.0.0.25", meta["from"].encode(), meta["from-name"].encode("cp932"),
         meta["to"].encode(), meta["to-name"].encode("cp932"),
         meta["subject"].encode("cp932"), body]
with open(texts_path, "wb") as f:
    f.write(b"".join(t + b"\0" for t in texts))
print("subject:  ", meta["subject"])
print("from name:", meta["from-name"], f"<{meta['from']}>")
print("to name:  ", meta["to-name"], f"<{meta['to']}>")
try:
    result = subprocess.run(argv, env=env, timeout=120)
except subprocess.TimeoutExpired:
    print("vtl-sendmail did not finish within 120 s", file=sys.stderr)
    sys.exit(124)
sys.exit(result.returncode)
EOF
send_status=$?
set -e
[ "$send_status" -eq 0 ] || die "vtl-sendmail failed with result $send_status"
wait_for_mail "$work/mail/001.eml"

step "the message as received, and decoded"
"$PYTHON" tools/show_mail.py "$work/mail/001.eml"

# send N LANG OPTION...: vtl-sendmail under LANG to the server above, the
# body from standard input; shows the message, the server's N.eml.
send() {
  local lang=$2
  env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG="$lang" \
    timeout 120 "$SENDMAIL" --server 127.0.0.1 --port "$port" "${@:3}" ||
    die "vtl-sendmail under $lang failed with result $?"
  wait_for_mail "$work/mail/$1.eml"
  "$PYTHON" tools/show_mail.py "$work/mail/$1.eml"
}

step "an emoji, which ISO-2022-JP cannot carry, under LANG=ja_JP.UTF-8: UTF-8"
printf '山田です。😀\nﾊﾝｶｸもそのまま。\n' |
  send 002 ja_JP.UTF-8 --from taro@example.com --from-name "山田太郎" \
    --to hanako@example.com --to-name "鈴木花子" --subject "絵文字 😀 入り"

step "German under LANG=de_DE.UTF-8: UTF-8"
printf 'Grüße, café, ½ – € 5\n' |
  send 003 de_DE.UTF-8 --from juergen@example.com --from-name "Jürgen Groß" \
    --to zoe@example.com --to-name "Zoë" --subject "Grüße, café, ½"
stop_sink

step "the same mail over TLS with a login: smtps://demo@localhost"
sh tests/tls/make_certs.sh "$work/certs"
start_sink 127.0.0.1 0 "$work/tls-mail" --tls implicit --cert "$work/certs/good.pem" \
  --login demo:demo-password
set +e
env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG=ja_JP.UTF-8 VTL_PASSWORD=demo-password \
  timeout 120 "$SENDMAIL" --server "smtps://demo@localhost:$port" \
  --ca-file "$work/certs/ca.pem" --from "taro@example.com" --from-name "山田太郎" \
  --to "hanako@example.com" --to-name "鈴木花子" --subject "TLS で送信" \
  --body-file <(iconv -f CP932 -t UTF-8 samples/japanese.sjis.txt)
send_status=$?
set -e
[ "$send_status" -eq 0 ] || die "vtl-sendmail over smtps failed with result $send_status"
wait_for_mail "$work/tls-mail/001.eml"
"$PYTHON" tools/show_mail.py "$work/tls-mail/001.eml"
stop_sink

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: skipping the Windows DLL (its mail goes to port 25)"
  step "done"
  exit 0
fi

step "building the 64-bit Windows DLL (cmake --preset win64)"
quietly cmake --preset win64
quietly cmake --build --preset win64 -j2 --target vtl vtl_host
prefix="$PWD/build/win64/wine-win64"
quietly tools/wine-prefix.sh "$prefix" win64

step "starting the SMTP server on 127.0.0.25 port 25"
start_sink 127.0.0.25 25 "$work/wine-mail"

# host_send LANG TEXTS-FILE: the host reads the seven arguments of
# VTLSendMail from the file, each ending in a zero byte, so the bytes reach
# the DLL as they are.
host_send() {
  env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG="$1" WINEPREFIX="$prefix" \
    timeout 120 tools/wine-run.sh build/win64/bin/vtl_host.exe build/win64/bin/vtl.dll "$2" ||
    die "the Windows host under $1 failed with result $?"
}

step "a Windows host loads vtl.dll under Wine and calls VTLSendMail"
# texts.bin was written above, in Shift_JIS.
host_send ja_JP.UTF-8 "$work/texts.bin"
wait_for_mail "$work/wine-mail/001.eml"

step "the message the DLL sent, as received, and decoded"
"$PYTHON" tools/show_mail.py "$work/wine-mail/001.eml"

step "German from code page 1252 (Wine: user locale DEU) through the DLL: UTF-8"
printf '%s\0' 127.0.0.25 juergen@example.com "Jürgen Groß" zoe@example.com "Zoë" \
  "Grüße, café, ½" "Grüße, café, ½ – € 5"$'\r\n' | iconv -f UTF-8 -t CP1252 >"$work/texts-de.bin"
host_send de_DE.UTF-8 "$work/texts-de.bin"
wait_for_mail "$work/wine-mail/002.eml"
"$PYTHON" tools/show_mail.py "$work/wine-mail/002.eml"

step "done"

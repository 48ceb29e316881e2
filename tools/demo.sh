#!/bin/bash
# Sends the Japanese sample through vtl-sendmail to a local SMTP server and
# shows what arrived. Meant for a fresh Debian machine, run as root from the
# top of the repository:
#
#   tools/demo.sh
#
# It installs the build tools, builds the release preset, starts
# tools/smtp_sink.py on 127.0.0.1 (a free port), sends samples/japanese.sjis.txt
# with the subject and names of samples/japanese.meta as Shift_JIS under
# LANG=ja_JP.SJIS, prints the message as received and decoded, and stops the
# server. Nothing leaves this machine. The exit status is not 0 when a step,
# the send included, fails.
set -euo pipefail

cd "$(dirname "$0")/.."
PYTHON=/usr/bin/python3
SENDMAIL=build/release/vtl-sendmail

step() { printf '\n==> %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-demo.XXXXXX")
sink_pid=
cleanup() {
  local status=$?
  if [ -n "$sink_pid" ] && kill -0 "$sink_pid" 2>/dev/null; then
    kill -TERM "$sink_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$sink_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$sink_pid" 2>/dev/null || true
    wait "$sink_pid" 2>/dev/null || true
  fi
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

step "installing build tools and aiosmtpd"
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  quietly apt-get update -q
  quietly apt-get install -y -q --no-install-recommends \
    cmake g++ make python3 python3-aiosmtpd googletest
else
  echo "not root: skipping apt-get, using what is installed"
fi

step "building (cmake --preset release)"
quietly cmake --preset release
quietly cmake --build --preset release -j2
[ -x "$SENDMAIL" ] || die "$SENDMAIL was not built"

step "starting the SMTP server on 127.0.0.1"
"$PYTHON" tools/smtp_sink.py --host 127.0.0.1 --port 0 --dir "$work/mail" \
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
echo "listening on 127.0.0.1 port $port"

step "sending samples/japanese.sjis.txt under LANG=ja_JP.SJIS"
# The subject and names go on the command line as Shift_JIS bytes, which is
# easiest from Python.
set +e
"$PYTHON" - "$SENDMAIL" "$port" samples/japanese.meta samples/japanese.sjis.txt <<'EOF'
import os, subprocess, sys

sendmail, port, meta_path, body_path = sys.argv[1:]
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

mail="$work/mail/001.eml"
for _ in $(seq 100); do [ -f "$mail" ] && break; sleep 0.1; done
[ -f "$mail" ] || die "the server has no message after 10 s"

step "the message as received, and decoded"
"$PYTHON" tools/show_mail.py "$mail"

step "done"

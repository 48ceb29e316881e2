# Shell helpers for the scripted tests that need a mail server: sourced, with
# $work (a scratch directory) and $root (the source tree) set. Each sink is
# tools/smtp_sink.py on 127.0.0.1, at a free port. On exit the sinks are
# stopped and $work is removed.

sinks=
trap 'stop_sinks; rm -rf "$work"' EXIT
# start_sink NAME [OPTION...]: a sink keeping mail in $work/NAME; sets port.
start_sink() {
  name=$1
  shift
  # Made here, not by the job's redirection, which may come after the first
  # look at it.
  : >"$work/$name.out"
  /usr/bin/python3 "$root/tools/smtp_sink.py" --host 127.0.0.1 --port 0 --dir "$work/$name" \
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
  sinks="$sinks $!"
  port=
  for _ in $(seq 600); do
    port=$(awk '$1 == "ready" { print $3; exit }' "$work/$name.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  cat "$work/$name.err" >&2
  exit 1
}

stop_sinks() {
  for pid in $sinks; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  sinks=
}

# await_mail NAME N TEXT: the Nth mail in sink NAME arrives (within 60 s)
# and holds TEXT.
await_mail() {
  file=$work/$1/$(printf '%03d' "$2").eml
  for _ in $(seq 600); do [ -f "$file" ] && break; sleep 0.1; done
  grep -q "$3" "$file"
}

# For tests/consumer/consumer.c built in the ways a user builds it:
# start_consumer_sink starts the sink "mail" with implicit TLS and a
# certificate of a CA made for the run; consumer_sends PROGRAM N has PROGRAM
# send to it over smtps, and the mail must arrive as the Nth.
start_consumer_sink() {
  sh "$root/tests/tls/make_certs.sh" "$work/certs"
  start_sink mail --tls implicit --cert "$work/certs/good.pem"
}
consumer_sends() {
  SSL_CERT_FILE=$work/certs/ca.pem "$1" "smtps://localhost:$port" >/dev/null
  await_mail mail "$2" "Hello from a consumer"
  echo "ok: $1"
}

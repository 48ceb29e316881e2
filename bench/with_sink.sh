#!/bin/sh
# Runs a command while Postfix's smtp-sink listens on port 25 of the
# benchmarks' loopback address (VTL_BENCH_SERVER, default 127.0.0.28).
# Exits 77 (skipped) when that cannot be done here.
set -u
server=${VTL_BENCH_SERVER:-127.0.0.28}
sink=$(command -v smtp-sink || echo /usr/sbin/smtp-sink)
if [ "$(id -u)" != 0 ] || [ ! -x "$sink" ]; then
  echo "smtp-sink on port 25 needs root and Postfix's smtp-sink" >&2
  exit 77
fi
"$sink" -u nobody "$server:25" 1024 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT INT TERM
# Wait until it answers.
i=0
until /usr/bin/python3 -c "import socket,sys; socket.create_connection(('$server', 25), 1).close()" 2>/dev/null; do
  i=$((i + 1))
  if [ $i -gt 50 ]; then echo "smtp-sink did not start" >&2; exit 1; fi
  sleep 0.1
done
"$@"

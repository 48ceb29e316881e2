#!/bin/sh
# Builds the benchmarks, runs them all beside their peers and writes the
# report: docs/performance.md, docs/send-time.png and docs/tls-tools.png.
#   bench/run.sh            (as root: smtp-sink listens on port 25)
# The round trips alone, once vtl-sendmail and vtl_tls_sink are built:
#   bench/report.py build/release - --only roundtrips
# The large sends from an English system alone (an ASCII body, a file
# attached), with smtp-sink:
#   bench/with_sink.sh bench/report.py build/release - --only large
# As root it first installs the Debian packages it needs.
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Postfix only for its smtp-sink: installed without a system mailer.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends cmake g++ make googletest python3 \
    libbenchmark-dev libcurl4-openssl-dev libssl-dev openssl postfix curl valgrind gnuplot-nox \
    msmtp nftables iproute2 >/dev/null
fi
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target vtl_convert_bench vtl_send_bench \
  vtl_bench_tool vtl_peak_rss vtl_tls_sink vtl-sendmail
exec bench/with_sink.sh /usr/bin/python3 bench/report.py build/release docs

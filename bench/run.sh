#!/bin/sh
# Builds the benchmarks, runs them all beside their peers and writes the
# report: docs/performance.md and docs/send-time.png.
#   bench/run.sh            (as root: smtp-sink listens on port 25)
# Needs: cmake g++ libbenchmark-dev libcurl4-openssl-dev postfix curl
# valgrind gnuplot-nox (Debian packages).
set -eu
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target vtl_convert_bench vtl_send_bench \
  vtl_bench_tool vtl_peak_rss vtl-sendmail
exec bench/with_sink.sh /usr/bin/python3 bench/report.py build/release docs

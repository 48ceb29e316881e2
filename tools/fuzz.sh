#!/bin/sh
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a
# bounded time from a copy of its seed corpus:
#   tools/fuzz.sh [SECONDS]      (60 by default)
# Exits non-zero when a target finds a crash; the input is kept in
# build/fuzz/crashes/ (see fuzz/README.md).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null
mkdir -p build/fuzz/crashes
status=0
for name in jtext body reply recode url address_list header_lines http_answer json; do
  work=build/fuzz/corpus-$name
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/$name/* "$work"/
  if build/fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build/fuzz/crashes/$name- "$work" fuzz/regressions/$name \
      >build/fuzz/$name.log 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' build/fuzz/$name.log)
    echo "fuzz_$name: ${runs:-?} executions in ${seconds} s, no crash"
  else
    echo "fuzz_$name: crashed; see build/fuzz/$name.log and build/fuzz/crashes/" >&2
    tail -n 20 build/fuzz/$name.log >&2
    status=1
  fi
done
exit $status

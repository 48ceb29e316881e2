#!/bin/sh
# vtl built inside another project: tests/embed, a project with its own
# warning flags, takes vtl in by add_subdirectory and by FetchContent from a
# source archive. vtl's tests must not be part of that build, none of vtl's
# own warning flags may reach the project's targets, and the program built
# must send a mail to a local server over TLS.
#   embed_test.sh [C-COMPILER C++-COMPILER]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cc=${1:-cc}
cxx=${2:-c++}
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-embed.XXXXXX")
. "$here/support/sink.sh"
start_consumer_sink

# The source as a release archive would hold it: no build trees.
tar -C "$root" --exclude=./build --exclude=./.git -czf "$work/vtl.tar.gz" .

n=0
for route in subdirectory fetch; do
  source=$root
  [ "$route" = fetch ] && source=$work/vtl.tar.gz
  build=$work/$route
  cmake -S "$here/embed" -B "$build" -DVTL_ROUTE="$route" -DVTL_SOURCE="$source" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >/dev/null
  if [ "$(ctest --test-dir "$build" -N | awk '/Total Tests:/ { print $3 }')" != 0 ] ||
    { cmake --build "$build" --target help >"$work/targets" && grep -q 'vtl_tests\|bench\|fuzz' "$work/targets"; }; then
    echo "$route: vtl's tests are part of the embedding build" >&2
    exit 1
  fi
  cmake --build "$build" --target consumer -j2 >/dev/null
  # The consumer's compile line holds its own flags and none of vtl's.
  line=$(grep '"command".*consumer\.c' "$build/compile_commands.json")
  case $line in
    *-Wpedantic* | *-Wshadow* | *-Wconversion*) echo "$route: vtl's warnings leak: $line" >&2; exit 1 ;;
  esac
  n=$((n + 1))
  consumer_sends "$build/consumer" "$n"
done

#!/bin/sh
# vtl as another project uses it once installed: `cmake --install` into a
# temporary prefix, then a C program built against it with pkg-config, and
# the same program built by a CMake project with find_package(vtl CONFIG).
# Each sends a mail over smtps to a local TLS server that trusts a CA made
# for the run, and the mail must arrive. The installed vtl-sendmail reports
# the project's version.
#   consumer_test.sh BUILD-DIR VERSION [C-COMPILER]
set -eu
build=$1
version=$2
cc=${3:-cc}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-consumer.XXXXXX")
root=$here/..
. "$here/support/sink.sh"

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
[ "$("$prefix/bin/vtl-sendmail" --version)" = "vtl-sendmail $version" ]
for page in man1/vtl-sendmail.1 man1/vtl-open.1 man3/vtl.3; do
  [ -f "$prefix/share/man/$page" ] || { echo "no man page $page" >&2; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name libvtl.so.1 | head -n 1)")

start_consumer_sink

# pkg-config, as a Makefile would use it.
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs vtl)
[ "$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion vtl)" = "$version" ]
# shellcheck disable=SC2086
"$cc" -Wall -Wextra -Werror -o "$work/by-pkg-config" "$here/consumer/consumer.c" $flags \
  -Wl,-rpath,"$libdir"
consumer_sends "$work/by-pkg-config" 1

# find_package(vtl CONFIG), with the consumer's own warnings.
cmake -S "$here/consumer" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/by-cmake" >/dev/null
consumer_sends "$work/by-cmake/consumer" 2

#!/bin/sh
# Reproducible builds: the library and the tools built a second time, from a
# copy of the source at another path into another build directory, with the
# same settings and at another time, are byte for byte the ones the presets
# built: nothing in them depends on where or when they were built.
#   reproducible_test.sh PRESET...   (presets already built: release, win64, win32)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy=$work/somewhere/else/vtl
mkdir -p "$copy"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -

setting() { sed -n "s|^$1:[A-Z]*=||p" "$root/build/$preset/CMakeCache.txt"; }
for preset in "$@"; do
  case $preset in
    win*) targets=vtl files=bin/vtl.dll ;;
    *) targets="vtl vtl-sendmail vtl-open" files="libvtl.so.1.3.0 vtl-sendmail vtl-open" ;;
  esac
  toolchain=$(setting CMAKE_TOOLCHAIN_FILE)
  again=$work/build-$preset
  cmake -S "$copy" -B "$again" -DCMAKE_BUILD_TYPE="$(setting CMAKE_BUILD_TYPE)" \
    -DVTL_WERROR="$(setting VTL_WERROR)" -DVTL_BUILD_TESTS=OFF \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$copy${toolchain#"$root"}"} >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$again" --target $targets -j2 >/dev/null
  for file in $files; do
    cmp "$root/build/$preset/$file" "$again/$file"
    echo "same: $preset/$file $(sha256sum <"$again/$file" | cut -c1-16)"
  done
done

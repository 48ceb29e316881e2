#!/bin/sh
# Makes the Windows kit, vtl-VERSION-windows.zip, and SHA256SUMS beside it:
#
#   tools/windows-kit.sh [OUTDIR]        (default build/kit)
#
# The DLLs are the win64 and win32 preset builds' own (build/win64,
# build/win32): a build directory that is there is only brought up to date,
# one that is not is configured with its preset as it stands. The version is
# the project's, from the win64 build's CMake cache. Everything in the zip
# has the time SOURCE_DATE_EPOCH (by default the last commit's), the same
# mode and a fixed order, so the same sources give the same zip.
#
# Needs cmake and mingw-w64 (the presets), llvm-dlltool (Debian: llvm) for
# the import libraries of Microsoft's linker, zip and sha256sum.
set -eu
cd "$(dirname "$0")/.."
out=${1:-build/kit}

for preset in win64 win32; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"
  cmake --build --preset "$preset" -j2 --target vtl
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win64/CMakeCache.txt)
[ -n "$version" ] || { echo "no project version in build/win64/CMakeCache.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt)
fi
export SOURCE_DATE_EPOCH

name=vtl-$version-windows
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"

# Text goes in with Windows line ends: VB6 reads a module only so.
text() { sed 's/\r*$/\r/' "$@"; }

# arch build-dir mingw-triple def-file dlltool-machine [dlltool-options]
# The DLL is the tested one without its debug information and symbols (a
# tenth of the size); strip stamps it with SOURCE_DATE_EPOCH.
# On x86 the .def lists the decorated stdcall names (VTLSendMail@28): -k
# makes each import resolve _VTLSendMail@28, as MSVC refers to it, to the
# plain export.
while read -r arch build triple def machine kill; do
  mkdir "$stage/$arch"
  "$triple-strip" --strip-all -o "$stage/$arch/vtl.dll" "build/$build/bin/vtl.dll"
  cp "build/$build/libvtl.dll.a" "$stage/$arch/"
  text "src/platform/win/$def" >"$stage/$arch/vtl.def"
  text include/vtl.h >"$stage/$arch/vtl.h"
  # shellcheck disable=SC2086
  llvm-dlltool -m "$machine" $kill -d "src/platform/win/$def" -D vtl.dll -l "$stage/$arch/vtl.lib"
done <<EOF
x64 win64 x86_64-w64-mingw32 vtl64.def i386:x86-64
x86 win32 i686-w64-mingw32 vtl32.def i386 -k
EOF
mkdir "$stage/vb" "$stage/delphi"
text kit/vb/vtl.bas >"$stage/vb/vtl.bas"
text kit/delphi/vtl.pas >"$stage/delphi/vtl.pas"
sed "s/@VERSION@/$version/" kit/README.txt | text >"$stage/README.txt"
text LICENSE >"$stage/LICENSE"

cd "$stage"
find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >"$out/$name.sums"
mv "$out/$name.sums" SHA256SUMS
find . -type d -exec chmod 755 {} +
find . -type f -exec chmod 644 {} +
find . -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
cd "$out"
# zip keeps local times: read in UTC, the same everywhere. -X leaves out
# owner and the extra time fields, -D the directory entries.
find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D "$name.zip" -@
rm -rf "$name"
sha256sum "$name.zip" >SHA256SUMS
echo "$out/$name.zip"

#!/bin/sh
# Makes what a release publishes, in OUTDIR (default build/release-files):
#   vtl-VERSION.tar.gz             the source, as git archive gives it
#   vtl-VERSION-windows.zip        the Windows kit (tools/windows-kit.sh)
#   libvtl1_, libvtl-dev_, vtl-tools_VERSION-1_ARCH.deb   (cmake --workflow --preset deb)
#   SHA256SUMS                     the SHA-256 sum of each
# From a clean checkout of the release's commit; times are the commit's
# (SOURCE_DATE_EPOCH), so the source archive and the kit come out the same
# bytes every time.
set -eu
cd "$(dirname "$0")/.."
out=${1:-build/release-files}
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
rm -rf "$out"
mkdir -p "$out"

tools/windows-kit.sh "$out" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win64/CMakeCache.txt)
git archive --format=tar.gz --prefix="vtl-$version/" -o "$out/vtl-$version.tar.gz" HEAD
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake --workflow --preset deb >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
cp build/deb/*.deb "$out/"
rm -f "$out/SHA256SUMS"
(cd "$out" && sha256sum -- * >SHA256SUMS && cat SHA256SUMS)

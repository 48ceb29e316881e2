#!/bin/sh
# The whole test suite, from a fresh Debian machine: installs what the tests
# need (when run as root), builds, and runs every test: the Linux library
# (valgrind included), the 64-bit and the 32-bit Windows DLL under Wine and
# the Windows kit made from them, the suite again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, and
# each fuzzer for 45 s; a plain Release build; and, as root, the Debian
# packages built, installed, used and purged.
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # wine32 comes from the i386 architecture.
  # libfile-mimeinfo-perl, which xdg-utils recommends, makes xdg-mime type files as on a desktop.
  # Postfix (installed without a system one) and Dovecot for the tests' own instances.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  dpkg --add-architecture i386
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends \
    cmake g++ make googletest python3 python3-aiosmtpd libemail-mime-perl clang-format binutils \
    xdg-utils libfile-mimeinfo-perl file pkg-config \
    valgrind clang libclang-rt-14-dev postfix dovecot-core libbenchmark-dev libcurl4-openssl-dev libssl-dev openssl \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 locales \
    zip llvm lld fp-compiler fpc-source dpkg-dev lintian >/dev/null
  # Wine takes the user locale from LANG; the locales must exist to be taken.
  for l in ja_JP.UTF-8 en_US.UTF-8 de_DE.UTF-8 zh_CN.UTF-8 ko_KR.UTF-8; do
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" >>/etc/locale.gen
  done
  locale-gen >/dev/null
fi

cmake --preset release
cmake --build --preset release -j2
ctest --preset release

# The first thing a packager or a new user types: a plain Release build,
# without the presets' warnings-as-errors, must build.
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=Release
cmake --build build/plain -j2

# The Debian packages (the deb preset: no tests, for /usr), which the test
# installs into this system and purges again: as root only.
if [ "$(id -u)" = 0 ]; then
  cmake --preset deb
  cmake --build --preset deb -j2
  sh tests/deb_test.sh build/deb
fi

if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  for preset in win64 win32; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset"
  done
  # Built again elsewhere, the library, the tools and both DLLs are the same bytes.
  sh tests/reproducible_test.sh release win64 win32
  # The Windows kit, from the DLLs just tested.
  sh tests/kit_test.sh
else
  echo "mingw-w64 or Wine missing: the Windows DLLs were neither built nor tested" >&2
  [ "$(id -u)" != 0 ] || exit 1
fi

# The release command, twice: the same files with the same sums.
if [ "$(id -u)" = 0 ]; then
  tools/release.sh build/release-files.1 >/dev/null
  tools/release.sh build/release-files
  cmp build/release-files.1/SHA256SUMS build/release-files/SHA256SUMS
fi

for preset in asan tsan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset"
done

tools/fuzz.sh 45

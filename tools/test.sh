#!/bin/sh
# The whole test suite, from a fresh Debian machine: installs what the tests
# need (when run as root), builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends \
    cmake g++ make googletest python3 python3-aiosmtpd clang-format binutils >/dev/null
fi

cmake --preset release
cmake --build --preset release -j2
ctest --preset release

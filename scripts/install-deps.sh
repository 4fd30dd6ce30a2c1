#!/bin/sh
# Installs the toolchains and tools the build and the tests need on Debian 12.
# Safe to run again: it installs only what is missing.
set -eu
PKGS="wine wine32:i386 wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
cmake ninja-build g++ clang lld libclang-rt-14-dev googletest libgtest-dev \
libbenchmark-dev valgrind tmux binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing

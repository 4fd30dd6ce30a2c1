#!/bin/sh
# Installs the toolchains and tools the build and the tests need on Debian 12.
# Safe to run again: it installs only what is missing. Exits non-zero, naming
# the packages, when they cannot be installed.
set -eu
PKGS="wine wine32:i386 wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
cmake ninja-build g++ clang lld libclang-rt-14-dev googletest libgtest-dev \
libbenchmark-dev valgrind tmux binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing_packages() {
  out=""
  for p in $PKGS; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || out="$out $p"
  done
  echo "$out"
}

missing=$(missing_packages)
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive

# A mirror in the middle of a sync serves an index whose size does not match
# its Release file; that heals within minutes, and the lists apt already has
# are usually enough, so a failed update is retried and then tolerated.
updated=no
for attempt in 1 2 3; do
  if $SUDO apt-get update -qq; then updated=yes; break; fi
  echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
  [ "$attempt" -lt 3 ] && sleep $((attempt * 5))
done
[ "$updated" = yes ] || echo "install-deps: going on with the package lists apt has" >&2

# When one suite's index for one architecture is missing, the amd64
# candidates of that suite have no i386 partners and the install cannot be
# resolved; the release's own versions exist for both architectures.
if ! $SUDO apt-get install -y -qq --no-install-recommends $missing; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -n "$codename" ]; then
    echo "install-deps: retrying with the release's own versions (-t $codename)" >&2
    $SUDO apt-get install -y -qq --no-install-recommends -t "$codename" $missing || true
  fi
fi

still=$(missing_packages)
if [ -n "$still" ]; then
  echo "install-deps: could not install:$still" >&2
  exit 1
fi

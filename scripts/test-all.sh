#!/bin/bash
# Builds every preset and runs every test. Installs what is missing first.
# Usage: scripts/test-all.sh [preset...]   (default: all presets)
#
# Stops with a non-zero status at the first failed step of installing or
# building. Test failures are collected and reported at the end; the status
# is 0 only when everything that ran passed. Where this kernel cannot execute
# 32-bit programs, the 32-bit presets are built and only their tests that
# execute nothing (the package builds, label "build") run; the summary says so.
set -u
cd "$(dirname "$0")/.."

die() { echo "test-all.sh: $*" >&2; exit 1; }

./scripts/install-deps.sh || die "installing the dependencies failed"
. cmake/wine-env.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(linux linux-tsan win32 win64 win32-clang)

end_wine() {
  for p in build/*/wineprefix build/*/wineprefix-*; do
    [ -d "$p" ] && WINEPREFIX="$PWD/$p" wineserver -k >/dev/null 2>&1
  done
  return 0
}
trap end_wine EXIT

failed=()
not_run=()
for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null || die "configuring $preset failed"
  cmake --build --preset "$preset" || die "building $preset failed"
  only=()
  case "$preset" in
    win32|win32-clang)
      if [ "$QZ_WIN32_RUNS" != yes ]; then
        only=(-L '^build$')
        not_run+=("$preset: built, not run (this kernel cannot execute 32-bit programs); only its package builds ran")
      fi ;;
  esac
  if ctest --preset "$preset" "${only[@]}"; then
    echo "=== $preset: passed"
  else
    echo "=== $preset: FAILED"
    failed+=("$preset")
  fi
done

for extra in scripts/test-extra-*.sh; do
  [ -x "$extra" ] || continue
  echo "=== $extra"
  if "$extra"; then echo "=== $extra: passed"; else echo "=== $extra: FAILED"; failed+=("$extra"); fi
done

for line in "${not_run[@]}"; do echo "$line"; done
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
if [ ${#not_run[@]} -ne 0 ]; then
  echo "all tests that ran passed"
else
  echo "all tests passed"
fi

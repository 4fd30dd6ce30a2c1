#!/bin/bash
# Builds every preset and runs every test. Installs what is missing first.
# Usage: scripts/test-all.sh [preset...]   (default: all presets)
set -u
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

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
for preset in "${presets[@]}"; do
  echo "=== $preset"
  if cmake --preset "$preset" >/dev/null \
     && cmake --build --preset "$preset" \
     && ctest --preset "$preset"; then
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

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all tests passed"

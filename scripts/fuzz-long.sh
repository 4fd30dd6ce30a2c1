#!/bin/bash
# Longer fuzzing sessions outside CI. The corpus in build/linux-fuzz/long/<target>
# is kept between sessions and grows; the seed corpus in the source tree is only
# read. Usage: scripts/fuzz-long.sh [target...]   (default: string lists)
# QZ_FUZZ_SECONDS sets the time per target (default 600).
set -eu
cd "$(dirname "$0")/.."

seconds=${QZ_FUZZ_SECONDS:-600}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(string lists format)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target "${targets[@]/%/_fuzz}"

status=0
for t in "${targets[@]}"; do
  work=build/linux-fuzz/long/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "=== $t: fuzzing for ${seconds}s (log: $work/fuzz.log)"
  if build/linux-fuzz/bin/${t}_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=25 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
       "$work/corpus" "tests/fuzz/corpus/$t" >"$work/fuzz.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/fuzz.log" || true
    echo "=== $t: no finding, corpus $(ls "$work/corpus" | wc -l) inputs"
  else
    tail -n 60 "$work/fuzz.log"
    echo "=== $t: FINDING, input saved in $work/artifacts"
    status=1
  fi
done
exit $status

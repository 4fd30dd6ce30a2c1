#!/bin/bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and fuzzes each for a
# bounded time on a copy of its seed corpus. Exits non-zero on any finding.
# QZ_FUZZ_SECONDS sets the time per target (default 60); QZ_FUZZ_MAX_LEN the
# longest input (default 4096).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "libFuzzer's runtime (libclang_rt.fuzzer-x86_64.a) is missing" >&2
  exit 1
fi

seconds=${QZ_FUZZ_SECONDS:-60}
max_len=${QZ_FUZZ_MAX_LEN:-4096}
build=build/linux-fuzz
targets=(string lists format)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target "${targets[@]/%/_fuzz}"

status=0
for t in "${targets[@]}"; do
  fuzzer=$build/bin/${t}_fuzz
  work=$build/fuzz/$t
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp tests/fuzz/corpus/$t/* "$work/corpus/"

  # Inputs that once failed run first, read in place: running single files
  # writes nothing.
  regressions=(tests/fuzz/regressions/$t/*)
  if [ -e "${regressions[0]}" ]; then
    echo "=== $t: ${#regressions[@]} regression inputs"
    if ! "$fuzzer" -artifact_prefix="$work/artifacts/" "${regressions[@]}" >"$work/regressions.log" 2>&1; then
      tail -n 40 "$work/regressions.log"
      echo "=== $t: a regression input fails (log: $work/regressions.log)"
      status=1
    fi
  fi

  echo "=== $t: fuzzing for ${seconds}s"
  if "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/fuzz.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$work/fuzz.log" || true
    echo "=== $t: no finding, corpus $(ls "$work/corpus" | wc -l) inputs"
  else
    tail -n 60 "$work/fuzz.log"
    echo "=== $t: FINDING, input saved in $work/artifacts (log: $work/fuzz.log)"
    status=1
  fi
done
exit $status

#!/bin/bash
# Builds the native foundation tests without sanitizers and runs them under
# valgrind's memcheck: any memory error, or any definitely or indirectly lost
# block, fails the run.
# QZ_VALGRIND_FILTER narrows the run with a gtest filter (default: every test).
# Threads take turns fairly (--fair-sched), so that tests which spin with
# yield until another thread moves cannot starve under valgrind's one-at-a-time
# scheduling.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=build/linux-valgrind
filter=${QZ_VALGRIND_FILTER:-*}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE= -DQZ_FUZZ=OFF >/dev/null
cmake --build "$build" --target qz_foundation_tests

# The tests replace operator new and delete to count calls and to make chosen
# allocations fail; valgrind must leave those in place and watch the malloc
# and free underneath them.
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
  --soname-synonyms=somalloc=nouserintercepts \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  --fair-sched=yes --num-callers=30 "$build/bin/qz_foundation_tests" --gtest_filter="$filter"

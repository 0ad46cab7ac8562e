#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit, end-to-end, sanitizer
# build of the unit tests, bounded fuzz runs when their targets exist).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure -j "$jobs" --timeout 600

# AddressSanitizer and UndefinedBehaviorSanitizer build of the unit tests that take untrusted
# bytes (amount texts, coin files and names). Run directly, each bounded in time; any report fails.
cmake -S . -B build/ci-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRESTCORE_SANITIZE=ON >/dev/null
cmake --build build/ci-asan -j "$jobs" --target tests_base tests_coins
for t in tests_base tests_coins; do
  ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    timeout 900 "build/ci-asan/tests/$t" --gtest_brief=1
done

# Bounded libFuzzer runs (clang, build/ci-fuzz) of the simulator's request reader and the client's
# response parser, about 30 s each; a crash fails the run.
bash scripts/fuzz.sh

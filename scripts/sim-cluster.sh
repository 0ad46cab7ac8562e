#!/usr/bin/env bash
# Starts and stops the simulated server cluster (kovra-sim) with a rest_core on it, on one
# machine and loopback only.
#
#   scripts/sim-cluster.sh start [options]   simulator + service in the background
#   scripts/sim-cluster.sh run   [options]   the same, with the service in the foreground
#                                            (Ctrl-C stops both)
#   scripts/sim-cluster.sh stop  [--dir DIR]
#   scripts/sim-cluster.sh status [--dir DIR]
#
# Options:
#   --dir DIR         working folder (default build/run): DIR/Client_Data is the service's data
#                     root, DIR/sim-state the simulator's state, logs and cluster.env go there too
#   --bin DIR         build folder holding rest_core and tools/kovra-sim/kovra-sim
#                     (default build/release)
#   --base-port N     servers on N..N+24 (default 50000); --ephemeral lets the kernel choose
#   --port N          the service's HTTP port (default: its own choice, 8080 or the next free)
#   --mint SPEC       demo coins ("0:5,1:2") minted into DIR/demo-coins when it holds no coin file
#   --no-service      the simulator alone
#   -- ARGS...        further arguments for rest_core
set -euo pipefail
cd "$(dirname "$0")/.."

cmd=${1:-}; shift || true
dir=build/run bin=build/release base=50000 ephemeral=0 port="" mint="" service=1 extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --base-port) base=$2; shift 2 ;;
    --ephemeral) ephemeral=1; shift ;;
    --port) port=$2; shift 2 ;;
    --mint) mint=$2; shift 2 ;;
    --no-service) service=0; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "sim-cluster: unknown option $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
sim="$bin/tools/kovra-sim/kovra-sim"
core="$bin/rest_core"
env_file="$dir/cluster.env"

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

stop_all() {
  [ -f "$env_file" ] || return 0
  # shellcheck disable=SC1090
  . "$env_file"
  if [ -n "${CORE_PID:-}" ] && kill -0 "$CORE_PID" 2>/dev/null; then
    if [ -n "${CORE_PORT:-}" ] && port_open "$CORE_PORT"; then
      exec 3<>"/dev/tcp/127.0.0.1/$CORE_PORT" &&
        printf 'POST /api/system/shutdown HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n' >&3 &&
        timeout 5 cat <&3 >/dev/null || true
      exec 3>&- || true
    fi
    for _ in $(seq 1 100); do kill -0 "$CORE_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$CORE_PID" 2>/dev/null || true
  fi
  if [ -n "${SIM_PID:-}" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    "$sim" stop --state "$dir/sim-state" >/dev/null 2>&1 || kill "$SIM_PID" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SIM_PID" 2>/dev/null || true
  fi
  rm -f "$env_file"
}

start_sim() {
  local args=(serve --state "$dir/sim-state" --data-root "$dir/Client_Data" --ports-file "$dir/sim.ports")
  if [ "$ephemeral" = 1 ]; then args+=(--ephemeral); else args+=(--base-port "$base"); fi
  rm -f "$dir/sim.ports"
  "$sim" "${args[@]}" >"$dir/kovra-sim.log" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 1 200); do
    [ -s "$dir/sim.ports" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || { cat "$dir/kovra-sim.log" >&2; exit 1; }
    sleep 0.05
  done
  [ -s "$dir/sim.ports" ] || { echo "sim-cluster: the simulator did not start" >&2; exit 1; }
  CONTROL_PORT=$(sed -n 's/^control_port=//p' "$dir/sim.ports")
  SERVER_PORTS=$(sed -n 's/^server_ports=//p' "$dir/sim.ports")
  printf 'SIM_PID=%s\nCONTROL_PORT=%s\nSERVER_PORTS=%s\n' "$SIM_PID" "$CONTROL_PORT" "$SERVER_PORTS" >"$env_file"
  if [ -n "$mint" ] && ! ls "$dir/demo-coins"/*.bin >/dev/null 2>&1; then
    "$sim" mint --state "$dir/sim-state" --denominations "$mint" --folder "$dir/demo-coins" >/dev/null
  fi
}

core_args() {
  CORE_ARGS=(-data-dir "$dir")
  [ -n "$port" ] && CORE_ARGS+=(-port "$port")
  CORE_ARGS+=(${extra[@]+"${extra[@]}"})
  # Discovery asks the simulator's own web endpoint, so nothing leaves 127.0.0.1.
  export RESTCORE_TEST_DISCOVERY_URL="http://127.0.0.1:$CONTROL_PORT"
}

wait_core() {
  for _ in $(seq 1 400); do
    CORE_PORT=$(cat "$dir/Client_Data/core.port" 2>/dev/null || true)
    if [ -n "$CORE_PORT" ] && port_open "$CORE_PORT"; then return 0; fi
    kill -0 "$1" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

print_help() {
  local p=$1
  cat <<TXT

  The service runs on http://127.0.0.1:$p on top of 25 simulated servers
  (state in $dir/sim-state, service data in $dir/Client_Data).
  Demo coins, ready to deposit: $dir/demo-coins

  Try:
    curl -s http://127.0.0.1:$p/api/program/echo
    curl -s http://127.0.0.1:$p/api/kovra/echo
    curl -s "http://127.0.0.1:$p/api/kovra/count"
    $sim counters --state $dir/sim-state       (requests each server saw)
    $sim mint --state $dir/sim-state --denominations 0:3 --folder $dir/demo-coins
    curl -s -X POST http://127.0.0.1:$p/api/system/shutdown

TXT
}

case "$cmd" in
  start)
    stop_all
    start_sim
    if [ "$service" = 1 ]; then
      core_args
      rm -f "$dir/Client_Data/core.port"
      "$core" "${CORE_ARGS[@]}" >"$dir/rest_core.log" 2>&1 &
      CORE_PID=$!
      printf 'CORE_PID=%s\n' "$CORE_PID" >>"$env_file"
      if ! wait_core "$CORE_PID"; then
        echo "sim-cluster: rest_core did not start; see $dir/rest_core.log" >&2
        stop_all
        exit 1
      fi
      printf 'CORE_PORT=%s\n' "$CORE_PORT" >>"$env_file"
      print_help "$CORE_PORT"
    fi
    cat "$env_file"
    ;;
  run)
    stop_all
    start_sim
    trap stop_all EXIT
    if [ "$service" = 1 ]; then
      core_args
      rm -f "$dir/Client_Data/core.port"
      "$core" "${CORE_ARGS[@]}" &
      CORE_PID=$!
      printf 'CORE_PID=%s\n' "$CORE_PID" >>"$env_file"
      trap 'kill -INT "$CORE_PID" 2>/dev/null || true' INT TERM
      if wait_core "$CORE_PID"; then
        printf 'CORE_PORT=%s\n' "$CORE_PORT" >>"$env_file"
        print_help "$CORE_PORT"
      fi
      wait "$CORE_PID" || true
    else
      echo "kovra-sim runs; Ctrl-C stops it."
      wait "$SIM_PID" || true
    fi
    ;;
  stop) stop_all ;;
  status)
    if [ -f "$env_file" ]; then cat "$env_file"; else echo "not running"; exit 1; fi
    ;;
  *) awk 'NR > 1 && !/^#/ { exit } NR > 1' "$0" >&2; exit 2 ;;
esac

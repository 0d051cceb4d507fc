#!/usr/bin/env bash
# Load check of the helper's pipe (a measurement, not a test): pipe-load.exe
# runs N concurrent clients that send {"cmd":"status"} for T seconds, once
# against a bare echo server on the helper's pipe path (it answers every line
# with a fixed status line: the cost of the pipe itself under Wine) and once
# against velkvpn-helper.exe serving that path, each with one connection per
# client kept open and with a new connection for every request. Prints
# requests per second and the median and 99th-percentile latency.
#
#   scripts/load-check.sh [CLIENTS [SECONDS]]     (default 4 clients, 5 seconds)
#
# Runs in a throwaway Wine prefix under build/load-check, removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
. scripts/wine-env.sh

clients=${1:-4}
seconds=${2:-5}
build=$root/build/windows
work=$root/build/load-check
prefix=$work/wineprefix
pipe='\\.\pipe\velkvpn-helper'

w() { VELK_WINEPREFIX=$prefix "$root/scripts/wine-run.sh" "$@"; }

cleanup() {
  local code=$?
  trap - EXIT INT TERM
  WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1 || true
  wait 2>/dev/null || true
  rm -rf "$work"
  exit "$code"
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM

echo "== building (only what is missing)"
scripts/build-exe.sh >/dev/null
cmake --build "$build" -j "$(nproc)" --target fwp_standin_dll velkvpn-engine-standin pipe-load >/dev/null

echo "== making a throwaway Wine prefix in build/load-check"
rm -rf "$work"
mkdir -p "$work"
w cmd /c exit 0 >/dev/null 2>&1

results=()
measure() {  # LABEL [--reconnect]
  local line
  line=$(w "$build/pipe-load.exe" --pipe "$pipe" --clients "$clients" --seconds "$seconds" --label "$@" | tr -d '\r')
  echo "   $line"
  results+=("$line")
}

# Ends a server started in the background and waits until its pipe is gone.
stop_server() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

echo "== echo server on $pipe"
w "$build/pipe-load.exe" --echo-server --pipe "$pipe" --seconds 600 &
server=$!
measure echo-server
measure echo-server --reconnect
stop_server "$server"

echo "== velkvpn-helper.exe on $pipe (console run; the filtering-engine stand-in beside it)"
VELK_FWP_STANDIN_DIR='C:\load-check\fwp-standin' \
  w "$build/velkvpn-helper.exe" --socket "$pipe" --state-dir 'C:\load-check\state' &
server=$!
measure helper
measure helper --reconnect
stop_server "$server"

echo
echo "== $clients clients, $seconds s each, status requests over $pipe under Wine"
printf '%s\n' "${results[@]}" | awk '
  BEGIN {
    printf "%-12s %-12s %9s %9s %9s %9s %9s %7s\n", "server", "connection", "requests", "req/s", "p50 ms", "p99 ms", "max ms", "errors"
  }
  {
    for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    printf "%-12s %-12s %9d %9d %9.2f %9.2f %9.2f %7d\n", v["label"], (v["mode"] == "reconnect" ? "per request" : "kept open"),
           v["requests"], v["rps"], v["p50_us"] / 1000, v["p99_us"] / 1000, v["max_us"] / 1000, v["errors"]
  }'

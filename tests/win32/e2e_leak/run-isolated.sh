#!/usr/bin/env bash
# ctest's emulator for win32_e2e_leak: runs the test under Wine in a network
# namespace of its own, with a Wine prefix of its own, so that the tunnel
# interface velkvpn0 the test creates is seen only by the helper under test and
# disappears with the namespace whatever happens to the test. Needs root (CI
# runs as root); without it the test runs in the build's shared prefix and
# leaves out the state that needs the tunnel, saying so.
#   run-isolated.sh PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../../scripts/wine-run.sh
build=${VELK_BUILD_DIR:?VELK_BUILD_DIR is not set}

if [ "${1:-}" = --inside ]; then
  shift
  ip link set lo up
  VELK_LEAK_IP=$(command -v ip)
  export VELK_WINEPREFIX=$build/wineprefix-leak VELK_LEAK_NETNS=1 VELK_LEAK_IP
  . "$here/../../../scripts/wine-env.sh"
  # A server of this prefix left from an earlier run lives in another namespace.
  WINEPREFIX=$VELK_WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
  status=0
  "$wine_run" "$@" || status=$?
  WINEPREFIX=$VELK_WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
  exit $status
fi

if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
  exec unshare --net -- "$0" --inside "$@"
fi
echo "run-isolated.sh: not root or no unshare/ip: running without a network namespace of its own" >&2
exec "$wine_run" "$@"

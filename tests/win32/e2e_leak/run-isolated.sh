#!/usr/bin/env bash
# ctest's emulator for win32_e2e_leak: runs the test under Wine with a prefix of
# its own (its helper service uses the stand-in's default state directory, which
# must not be shared with win32_e2e) and, when it can, in a network namespace of
# its own, so that the tunnel interface velkvpn0 the test creates is seen only by
# that prefix and disappears with the namespace whatever happens to the test.
# The namespace needs root (CI runs as root); without it the test leaves out the
# state that needs the tunnel and says so.
#   run-isolated.sh PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scripts=$here/../../../scripts
build=${VELK_BUILD_DIR:?VELK_BUILD_DIR is not set}
export VELK_WINEPREFIX=$build/wineprefix-leak
. "$scripts/wine-env.sh"

run() {
  # A server of this prefix left from an earlier run may live in another namespace.
  WINEPREFIX=$VELK_WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
  local status=0
  "$scripts/wine-run.sh" "$@" || status=$?
  WINEPREFIX=$VELK_WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
  return $status
}

if [ "${1:-}" = --inside ]; then
  shift
  ip link set lo up
  VELK_LEAK_IP=$(command -v ip)
  export VELK_LEAK_NETNS=1 VELK_LEAK_IP
  run "$@"
  exit
fi

if command -v ip >/dev/null && unshare --net true 2>/dev/null; then
  exec unshare --net -- "$0" --inside "$@"
fi
echo "run-isolated.sh: cannot make a network namespace (needs root and iproute2); velkvpn0 will not be made" >&2
run "$@"

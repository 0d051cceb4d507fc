#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# Used by ctest as the cross-compiling emulator and by the scripts.
#   VELK_WINEPREFIX   the prefix to use (default: $VELK_BUILD_DIR/wineprefix, else ./wineprefix)
set -euo pipefail
prefix=${VELK_WINEPREFIX:-${VELK_BUILD_DIR:-$PWD}/wineprefix}
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEARCH=win64
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

# Make the prefix once; several tests may start at the same moment.
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
) 9>"$prefix.lock"

exec "$wine" "$@"

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
. "$(dirname "$0")/wine-env.sh"
wine=$WINE

# Make the prefix once; several tests may start at the same moment.
# Wine gives services %ProgramData% = C:\users\Public while console programs get
# C:\ProgramData, so an installer and the service it installs would disagree on
# the state directory. The user environment that Wine applies to both last
# pins it to C:\ProgramData in the test prefix (the product is not changed).
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  pin_program_data() {
    "$wine" reg add 'HKCU\Environment' /v ProgramData /t REG_SZ /d 'C:\ProgramData' /f >/dev/null 2>&1 || true
  }
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    pin_program_data
    "$WINESERVER" -w   # nothing else runs in a new prefix: this returns once the registry is on disk
  elif ! grep -q '^"ProgramData"="C:\\\\ProgramData"' "$prefix/user.reg" 2>/dev/null; then
    # A prefix made before the pin: add it, without waiting for the prefix's
    # programs to end (a service or a keep-alive may run for a long time).
    pin_program_data
  fi
) 9>"$prefix.lock"

exec "$wine" "$@"

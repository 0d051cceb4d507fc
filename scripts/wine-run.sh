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

# Now and then, while another program of the prefix is ending, Wine's server
# drops a new program's connection before the program has run a line
# ("wine client error:0: recvmsg: Connection reset by peer": thread 0, so
# nothing of the program ran). Such a launch is made again, at most twice, and
# said so; any other failure, and any failure after the program started,
# stands as it is.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2 3; do
  began=$SECONDS
  status=0
  "$wine" "$@" 2> >(tee "$errors" >&2) || status=$?
  if [ $status -eq 0 ] || [ $attempt -eq 3 ] || [ $((SECONDS - began)) -gt 10 ]; then break; fi
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -s "$errors" ] && break; sleep 0.1; done   # the tee's copy
  if ! head -n 1 "$errors" | grep -q '^wine client error:0:'; then break; fi
  echo "wine-run.sh: Wine did not start ${1:-the program} (its server dropped the connection); starting it again" >&2
  sleep 1
done
exit $status

# Sourced by the scripts that drive Wine: finds Wine's programs and puts their
# folder first on PATH. Debian's wine64 package installs wine64 and wineserver
# in /usr/lib/wine, which is not on PATH on a fresh machine.
# Sets WINE (the loader) and WINESERVER; exits non-zero, naming what is missing.
# Wine maps non-ASCII file names through the Unix locale, and under the POSIX
# locale (a plain `env -i`, many containers) it cannot: every Wine process runs
# under C.UTF-8, which every Debian 12 has, whatever the caller's locale.
export LC_ALL=C.UTF-8
velk_find_wine() {
  local dir
  for dir in /usr/lib/wine /usr/lib/wine64 /opt/wine-stable/bin; do
    if [ -x "$dir/wine64" ] && [ -x "$dir/wineserver" ]; then
      WINE=$dir/wine64 WINESERVER=$dir/wineserver
      PATH=$dir:$PATH
      export WINE WINESERVER PATH
      return 0
    fi
  done
  WINE=$(command -v wine64 || command -v wine || true)
  WINESERVER=$(command -v wineserver || true)
  if [ -z "$WINE" ]; then
    echo "${0##*/}: cannot find Wine's loader: neither /usr/lib/wine/wine64 nor one on PATH; scripts/install-deps.sh installs it" >&2
    return 1
  fi
  if [ -z "$WINESERVER" ]; then
    echo "${0##*/}: cannot find Wine's server: neither /usr/lib/wine/wineserver nor one on PATH; scripts/install-deps.sh installs it" >&2
    return 1
  fi
  export WINE WINESERVER
}
velk_find_wine || exit 1

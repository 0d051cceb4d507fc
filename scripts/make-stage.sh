#!/usr/bin/env bash
# Makes a stage as the installer expects it: the files of FOLDER copied into
# STAGE, with install-manifest.txt listing each one's size and SHA-256. The
# work is done by velk-make-stage.exe of the Windows build, under Wine, so the
# names and the files are judged by the installer's own manifest reader and
# stage check: whatever the installer would refuse is refused here.
#
#   scripts/make-stage.sh FOLDER STAGE
#
# FOLDER holds the files of one release (velkvpn-helper.exe among them, no
# folders); STAGE must not exist or be empty (usually <install dir>/.update-new).
# Exit: 0 made (the manifest on standard output), 1 refused (the reason on
# standard error, no stage left), 2 usage.
#   VELK_WINEPREFIX   the Wine prefix to run in (default build/windows/wineprefix-stage)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 2 ]; then
  echo "usage: scripts/make-stage.sh FOLDER STAGE" >&2
  exit 2
fi
folder=$(realpath -m -- "$1")
stage=$(realpath -m -- "$2")

# The tool follows the installer's code as it is now: built (or found up to date) each time.
if [ ! -f "$root/build/windows/build.ninja" ]; then
  cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
fi
if ! log=$(cmake --build "$root/build/windows" --target velk-make-stage 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi

# Wine shows the Unix root as drive Z:. Non-ASCII names need a UTF-8 locale.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
existed=""
[ -e "$stage" ] && existed=yes
status=0
manifest=$(LC_ALL=C.UTF-8 VELK_WINEPREFIX=${VELK_WINEPREFIX:-$root/build/windows/wineprefix-stage} \
  "$root/scripts/wine-run.sh" "$root/build/windows/velk-make-stage.exe" \
  "$(windows_path "$folder")" "$(windows_path "$stage")") || status=$?
[ $status -eq 0 ] || exit $status

# Wine shows a Unix name that Windows cannot hold under another name, or not
# at all: the stage must list exactly the folder's names.
listed=$(printf '%s\n' "$manifest" | tr -d '\r' | sed -n 's/^[0-9a-f]\{64\}  [0-9]*  //p' | LC_ALL=C sort)
present=$(find "$folder" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort)
if [ "$listed" != "$present" ]; then
  echo "make-stage.sh: names that Windows cannot hold as they are:" >&2
  LC_ALL=C comm -13 <(printf '%s\n' "$listed") <(printf '%s\n' "$present") | sed 's/^/  /' >&2
  if [ -n "$existed" ]; then find "$stage" -mindepth 1 -delete; else rm -rf "$stage"; fi
  exit 1
fi
printf '%s\n' "$manifest"

#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy on the product's sources (src/ and
# tools/) as the native build compiles them; any finding fails.
#   scripts/clang-tidy.sh [BUILD_DIR]   default build/native (its compile_commands.json)
#   VELK_JOBS   files checked at a time (default: the number of cores)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
jobs=${VELK_JOBS:-$(nproc)}
if [ ! -f "$build/compile_commands.json" ]; then
  echo "clang-tidy.sh: no $build/compile_commands.json; configure the native build first" >&2
  exit 2
fi
tidy=$(command -v clang-tidy || command -v clang-tidy-14)

mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
  grep -E "^$root/(src|tools)/" | sort -u)
began=$SECONDS
status=0
output=$(printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -n 1 "$tidy" -p "$build" --quiet 2>&1) || status=$?
# The counts of warnings suppressed in system headers are not findings.
printf '%s\n' "$output" | grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' | grep -v '^$' || true
echo "clang-tidy: ${#sources[@]} files in $((SECONDS - began)) s, $([ $status -eq 0 ] && echo clean || echo FINDINGS)"
exit $([ $status -eq 0 ] && echo 0 || echo 1)

#!/usr/bin/env bash
# A measurement, not a test: builds the native tests and the Windows build with
# coverage instrumentation (build/coverage-native without sanitizers,
# build/coverage-windows), runs every test of both (the Windows ones under Wine,
# the end-to-end service tests included), and prints, for each folder of src/,
# the lines executed natively, under Wine and by either, the *_win32.cpp files on
# their own, and the *_win32.cpp functions no Windows-side run executed.
# Failing tests are reported but do not stop the measurement.
#   scripts/coverage.sh          the table also lands in build/coverage.md
#   VELK_JOBS=N                  build and test parallelism (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$(date +%s)
scripts/install-deps.sh
# The merger needs python3 (with its standard library), which a fresh Debian 12
# does not always have; only this measurement needs it, so CI's list stays as is.
if ! python3 -c 'import json' 2>/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends python3
fi
. scripts/wine-env.sh

jobs=${VELK_JOBS:-2}
native=build/coverage-native
windows=build/coverage-windows
# Only the functions of src/*/*.cpp are instrumented. Code inline in headers is
# emitted once per object and the linker keeps one copy per program; with
# mingw, programs that kept different copies then refuse each other's counters
# for the same object ("Merge mismatch") and lose them.
# VELK_COVERAGE: the service writes its counters when it reports STOPPED, as it
# ends with ExitProcess, which skips the exit handlers that would.
cov="-O0 --coverage -fprofile-filter-files=src/[a-z]+/[a-z0-9_]+[.]cpp -DVELK_COVERAGE"
flags=(-DCMAKE_CXX_FLAGS="$cov" -DCMAKE_C_FLAGS="-O0"
       -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage)

echo "== build coverage-native, coverage-windows"
cmake -S . -B "$native" -G Ninja -DVELK_BENCH=OFF "${flags[@]}" >/dev/null
cmake -S . -B "$windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "${flags[@]}" >/dev/null
cmake --build "$native" -j "$jobs"
cmake --build "$windows" -j "$jobs"

# Counters of an earlier run would add up with this one's.
find "$native" "$windows" -name '*.gcda' -delete
failed=()

echo "== test coverage-native"
ctest --test-dir "$native" -j "$jobs" --output-on-failure >"$native/ctest.log" 2>&1 || failed+=(native)
tail -n 3 "$native/ctest.log"

echo "== test coverage-windows (under Wine)"
# A program writes its counters when it exits, to the absolute Unix path of its
# object files. Wine 8 takes a path that starts with "/" as a Unix path whatever
# the current drive, so a service (started in C:\windows\system32) writes beside
# the objects like the tests do; counters found inside a prefix are named below.
# One test at a time (about 3 minutes): with two at once a counter file was once
# found corrupt. Without Wine's debugger a crashing process ends at once instead
# of keeping its prefix alive until ctest's timeout.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
ctest --test-dir "$windows" -j 1 --output-on-failure >"$windows/ctest.log" 2>&1 || failed+=(windows)
for prefix in "$windows/wineprefix" "$windows/wineprefix-leak"; do
  WINEPREFIX=$prefix "$WINESERVER" -k 2>/dev/null || true
done
tail -n 3 "$windows/ctest.log"
crashes=$(grep -c 'Unhandled page fault\|Unhandled exception' "$windows/ctest.log" || true)
[ "$crashes" -eq 0 ] || echo "coverage.sh: $crashes processes crashed under Wine (see $windows/ctest.log)" >&2
errors=$(grep -c 'libgcov profiling error' "$windows/ctest.log" || true)
[ "$errors" -eq 0 ] || echo "coverage.sh: $errors counter files could not be merged (see $windows/ctest.log)" >&2
stray=$(find "$windows"/wineprefix*/drive_c -name '*.gcda' 2>/dev/null | wc -l)
[ "$stray" -eq 0 ] || echo "coverage.sh: $stray .gcda files landed inside a prefix and are not counted" >&2

echo "== gcov"
# gcov --stdout writes nothing beside the objects. Objects no test ran count as
# not executed; a counter file cut short (a process killed while writing it) is
# left out and named.
gcov_json() {
  local tool=$1 dir=$2
  find "$root/$dir" -name '*.gcno' -print0 | sort -z |
    (cd "$dir" && xargs -0 "$tool" --json-format --stdout 2>gcov.log || true) >"$dir/gcov.json"
  if grep -q 'not a gcov data file' "$dir/gcov.log"; then
    echo "coverage.sh: counter files left out (unreadable):" >&2
    grep 'not a gcov data file' "$dir/gcov.log" | sed "s|^$root/||; s|:.*||; s|^|  |" >&2
  fi
}
gcov_json gcov "$native"
gcov_json x86_64-w64-mingw32-gcov "$windows"

python3 scripts/coverage-table.py src "$native/gcov.json" "$windows/gcov.json" | tee build/coverage.md
seconds=$(( $(date +%s) - started ))
echo
echo "measured $(date -u +%F) in $((seconds / 60)) min $((seconds % 60)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "coverage.sh: tests failed in: ${failed[*]} (see build/coverage-*/ctest.log); the table counts what ran" >&2
fi

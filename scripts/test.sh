#!/usr/bin/env bash
# The one test command: installs what is missing, checks the Markdown links,
# builds the native and the Windows builds (warnings are errors), runs clang-tidy
# on the native build's sources and every test of both, and prints how many
# GoogleTest cases each ran.
#   scripts/test.sh            everything
#   VELK_BUILDS="native windows" scripts/test.sh   a subset (native, tsan, windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
. scripts/wine-env.sh

builds=${VELK_BUILDS:-"native tsan windows"}
jobs=${VELK_JOBS:-$(nproc)}

# Optimisation is chosen for build time on two cores: the sanitizer builds need
# line tables, not full debug information; the Windows build is the one shipped.
configure() {
  local name=$1; shift
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
}

summary=()
status=0
echo "== links"
if ! scripts/check-links.sh; then
  status=1
  summary+=("links: BROKEN")
fi
for b in $builds; do
  case $b in
    native)  configure native -DVELK_SANITIZE=address -DVELK_BENCH=OFF -DCMAKE_CXX_FLAGS="-O0 -g1" ;;
    tsan)    configure tsan -DVELK_SANITIZE=thread -DVELK_BENCH=OFF -DCMAKE_CXX_FLAGS="-O1 -g1" ;;
    windows) configure windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  echo "== build $b"
  cmake --build "build/$b" -j "$jobs"
  if [ "$b" = native ]; then
    echo "== clang-tidy"
    if ! VELK_JOBS=$jobs scripts/clang-tidy.sh "build/$b"; then
      status=1
      summary+=("clang-tidy: FINDINGS")
    fi
  fi
  rm -rf "build/$b/gtest-results" && mkdir -p "build/$b/gtest-results"
  echo "== test $b"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  if ! ctest --test-dir "build/$b" --output-on-failure -j "$jobs"; then
    status=1
  fi
  if [ "$b" = windows ]; then
    # Ends the prefix's service manager and whatever a failed test left running.
    WINEPREFIX="$root/build/windows/wineprefix" "$WINESERVER" -k 2>/dev/null || true
  fi
  counts=$(cat /dev/null "build/$b"/gtest-results/*.xml 2>/dev/null | awk '
    /<testsuites / {
      match($0, / tests="[0-9]+"/);    t += substr($0, RSTART + 8, RLENGTH - 9)
      match($0, / failures="[0-9]+"/); f += substr($0, RSTART + 11, RLENGTH - 12)
      n++ }
    END { printf "%d test cases in %d binaries, %d failed", t, n, f }' || true)
  summary+=("$b: $counts")
done

echo "== summary"
for line in "${summary[@]}"; do echo "$line"; done
if [ $status -ne 0 ]; then echo "SOME TESTS FAILED"; else echo "ALL TESTS PASSED"; fi
exit $status

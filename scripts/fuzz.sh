#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in build/fuzz and runs every target of fuzz/*.cpp in turn.
#   scripts/fuzz.sh [seconds]     seconds per target, 60 when left out
# Each target keeps its growing corpus in build/fuzz/corpus/<target>, starting from
# fuzz/seeds/<target>/ when that exists, and uses fuzz/<target>.dict when that exists.
# Inputs that crash land in build/fuzz/artifacts/<target>/; the run log in build/fuzz/logs/.
# Exits non-zero when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds]" >&2
  exit 2
fi

scripts/install-deps.sh
out=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELK_FUZZ=ON -DVELK_SANITIZE=address >/dev/null
cmake --build "$out" -j "${VELK_JOBS:-2}" --target fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

summary=()
status=0
for src in fuzz/*.cpp; do
  target=$(basename "$src" .cpp)
  corpus=$out/corpus/$target
  artifacts=$out/artifacts/$target
  log=$out/logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$out/logs"
  extra=()
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  dirs=("$corpus")
  [ -d "fuzz/seeds/$target" ] && dirs+=("fuzz/seeds/$target")

  echo "== fuzz $target for ${seconds}s"
  rc=0
  "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra[@]}" "${dirs[@]}" >"$log" 2>&1 || rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  findings=$(find "$artifacts" -type f | wc -l)
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
    grep -E 'ERROR|SUMMARY|runtime error|deadly signal' "$log" | head -n5 || true
  fi
  summary+=("$target: ${execs:-?} execs, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}, findings $findings (exit $rc)")
done

echo "== summary"
for line in "${summary[@]}"; do echo "$line"; done
exit $status

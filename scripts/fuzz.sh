#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in build/fuzz and runs every target of fuzz/*.cpp in turn.
#   scripts/fuzz.sh [seconds]     seconds per target, 60 when left out
#   scripts/fuzz.sh --merge       folds build/fuzz/corpus/<target> into fuzz/seeds/<target>,
#                                 minimised: -merge=1 in its set-cover form, counting edges only
#                                 (-use_counters=0), so a small set that reaches every edge stays
# VELK_FUZZ_PARALLEL=N runs N targets at once (default 1; the machine's other work
# decides how many it can spare).
# Each target keeps its growing corpus in build/fuzz/corpus/<target>, starting from
# fuzz/seeds/<target>/ when that exists, and uses fuzz/<target>.dict when that exists.
# Inputs that crash land in build/fuzz/artifacts/<target>/; the run log in build/fuzz/logs/.
# Exits non-zero when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ || $seconds == --merge ]]; then
  echo "usage: scripts/fuzz.sh [seconds | --merge]" >&2
  exit 2
fi
parallel=${VELK_FUZZ_PARALLEL:-1}

scripts/install-deps.sh
out=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELK_FUZZ=ON -DVELK_SANITIZE=address >/dev/null
cmake --build "$out" -j "${VELK_JOBS:-2}" --target fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

targets=()
for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done

if [ "$seconds" = --merge ]; then
  for target in "${targets[@]}"; do
    seeds=fuzz/seeds/$target
    merged=$out/merged/$target
    rm -rf "$merged" && mkdir -p "$merged" "$seeds" "$out/corpus/$target"
    "$out/$target" -use_counters=0 -set_cover_merge=1 "$merged" "$seeds" "$out/corpus/$target" >"$out/logs/$target.merge.log" 2>&1
    rm -rf "$seeds" && mv "$merged" "$seeds"
    echo "$target: $(find "$seeds" -type f | wc -l) seeds, $(du -sk "$seeds" | cut -f1) KiB"
  done
  exit 0
fi

# One target: runs it and writes its summary line to $out/logs/<target>.summary.
fuzz_one() {
  local target=$1
  local corpus=$out/corpus/$target
  local artifacts=$out/artifacts/$target
  local log=$out/logs/$target.log
  mkdir -p "$corpus" "$artifacts"
  local extra=()
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  local dirs=("$corpus")
  [ -d "fuzz/seeds/$target" ] && dirs+=("fuzz/seeds/$target")

  echo "== fuzz $target for ${seconds}s"
  local rc=0
  "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra[@]}" "${dirs[@]}" >"$log" 2>&1 || rc=$?

  local execs last cov ft corp findings
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  findings=$(find "$artifacts" -type f | wc -l)
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|runtime error|deadly signal' "$log" | head -n5 || true
  fi
  echo "$target: ${execs:-?} execs, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}, findings $findings (exit $rc)" \
    >"$out/logs/$target.summary"
}

mkdir -p "$out/logs"
rm -f "$out"/logs/*.summary
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  fuzz_one "$target" &
done
wait

echo "== summary"
status=0
for target in "${targets[@]}"; do
  line=$(cat "$out/logs/$target.summary" 2>/dev/null || echo "$target: no result")
  echo "$line"
  [[ $line == *"findings 0 (exit 0)" ]] || status=1
done
exit $status

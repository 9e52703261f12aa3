#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, in parallel.
# A crash input is kept under fuzz/regressions/<target>/ (commit it: the tests
# replay it from then on) and fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?fuzz build folder}
seconds=${2:-30}
# The growing corpora live in memory too, where the machine has /dev/shm.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d -p /dev/shm); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
# One line per target: runs, speed, coverage (edges and features) and corpus.
summary() {
  local log=$1 runs speed cov ft corp
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -Eo 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  corp=$(grep -Eo 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1 | cut -d' ' -f2)
  echo "${runs:-?} runs (${speed:-?}/s), coverage ${cov:-?} edges ${ft:-?} features, corpus ${corp:-?}"
}
status=0
pids=()
names=()
for exe in "$dir"/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe"); short=${name#fuzz_}
  mkdir -p "$work/$short" "$root/fuzz/regressions/$short"
  cp -r "$root/fuzz/corpus/$short/." "$work/$short/" 2>/dev/null || true
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$exe" "$work/$short" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$root/fuzz/regressions/$short/" -print_final_stats=1 \
         > "$work/$short.log" 2>&1 &
  pids+=($!); names+=("$short")
done
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "fuzz ${names[$i]}: $(summary "$work/${names[$i]}.log")"
  else
    echo "fuzz ${names[$i]}: FAILED"; tail -40 "$work/${names[$i]}.log"; status=1
  fi
done
[ ${#pids[@]} -gt 0 ] || { echo "no fuzz targets built" >&2; exit 1; }
exit $status

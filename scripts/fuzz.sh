#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, in parallel.
# A crash input is kept under fuzz/regressions/<target>/ (commit it: the tests
# replay it from then on) and fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?fuzz build folder}
seconds=${2:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
pids=()
names=()
for exe in "$dir"/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe"); short=${name#fuzz_}
  mkdir -p "$work/$short" "$root/fuzz/regressions/$short"
  cp -r "$root/fuzz/corpus/$short/." "$work/$short/" 2>/dev/null || true
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$exe" "$work/$short" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$root/fuzz/regressions/$short/" -print_final_stats=0 \
         > "$work/$short.log" 2>&1 &
  pids+=($!); names+=("$short")
done
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "fuzz ${names[$i]}: $(grep -Eo 'Done [0-9]+ runs' "$work/${names[$i]}.log" | tail -1 || echo ok)"
  else
    echo "fuzz ${names[$i]}: FAILED"; tail -40 "$work/${names[$i]}.log"; status=1
  fi
done
[ ${#pids[@]} -gt 0 ] || { echo "no fuzz targets built" >&2; exit 1; }
exit $status

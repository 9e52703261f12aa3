#!/usr/bin/env bash
# Sequential read of a disk image through a media record and its block
# reader with read-ahead (one 512-byte block per request, like the thorough
# scan), against `dd bs=1M` and `cat` of the same file, in the same run.
# Each reader runs BENCH_MEDIA_REPEAT times (3 by default) in a turning
# order and the best time counts: first with the file in the page cache,
# then, when the script may drop the cache (root with a writable
# /proc/sys/vm/drop_caches), cold. Prints MB/s (10^6 bytes per second),
# ours/dd and ours/cat as throughput ratios (above 1: ours is faster), and
# the CPU time of the consuming thread and of the whole process as a share
# of wall time.
#
# Environment
#   BENCH_MEDIA_MIB     image size in MiB (default 1024)
#   BENCH_MEDIA_REPEAT  runs per reader and pass
#   BENCH_MEDIA_DIR     folder for the image (default $TMPDIR or /tmp)
#   BENCH_MEDIA_BIN     the bench_media_read program (default: build*/bench/
#                       bench_media_read of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mib=${BENCH_MEDIA_MIB:-1024}
repeat=${BENCH_MEDIA_REPEAT:-3}
dir=${BENCH_MEDIA_DIR:-${TMPDIR:-/tmp}}
bin=${BENCH_MEDIA_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_media_read.sh "$@"; }

bench_positive bench_media_read.sh BENCH_MEDIA_MIB "$mib"
bench_positive bench_media_read.sh BENCH_MEDIA_REPEAT "$repeat"
[ -d "$dir" ] || fail "no folder $dir"
[ -n "$bin" ] || bin=$(bench_program "$repo" bench_media_read)
[ -n "$bin" ] && [ -x "$bin" ] || fail "bench_media_read not found: build it (ninja -C <build> bench_media_read) or set BENCH_MEDIA_BIN"

work=$(mktemp -d "$dir/zv-bench-media.XXXXXX")
trap 'rm -rf "$work"' EXIT
image=$work/card.img
# Random data, so no layer can treat the image as sparse or compressible.
head -c $((mib * 1048576)) /dev/urandom > "$image"

drop=no
if bench_can_drop_cache; then drop=yes; fi

declare -A best cpu_thread cpu_process
record() { # key nanoseconds
    if [ -z "${best[$1]:-}" ] || [ "$2" -lt "${best[$1]}" ]; then best[$1]=$2; fi
}
now() { date +%s%N; }

run_one() { # reader cold(yes/no)
    local start end out
    if [ "$2" = yes ]; then sync; echo 3 > /proc/sys/vm/drop_caches; fi
    case $1 in
        dd)  start=$(now); dd if="$image" of=/dev/null bs=1M status=none; end=$(now) ;;
        cat) start=$(now); cat "$image" > /dev/null; end=$(now) ;;
        ours)
            start=$(now); out=$("$bin" "$image") || fail "bench_media_read failed"; end=$(now)
            read -r _ wall thread process _ <<< "$out"
            cpu_thread[$2]=$(awk -v t="$thread" -v w="$wall" 'BEGIN { printf "%.0f%%", 100 * t / w }')
            cpu_process[$2]=$(awk -v p="$process" -v w="$wall" 'BEGIN { printf "%.0f%%", 100 * p / w }')
            ;;
    esac
    record "$1-$2" $((end - start))
}

rate() { awk -v b=$((mib * 1048576)) -v ns="$1" 'BEGIN { printf "%.0f", b * 1000 / ns }'; }
ratio() { awk -v o="$1" -v r="$2" 'BEGIN { printf "%.2f", r / o }'; }

echo "Media read with read-ahead against dd bs=1M and cat: $mib MiB, best of $repeat, 512-byte blocks"
echo "image: $image ($(df -PT "$work" | awk 'NR==2 {print $2}'))"
passes=(no)
if [ $drop = yes ]; then passes+=(yes); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
readers=(dd cat ours)
for cold in "${passes[@]}"; do
    cat "$image" > /dev/null # warm (or, before a cold pass, harmless)
    for ((run = 0; run < repeat; run++)); do
        for ((i = 0; i < 3; i++)); do run_one "${readers[(run + i) % 3]}" "$cold"; done
    done
done

printf '\n%-12s %10s %10s %10s %8s %9s %14s %15s\n' pass "ours MB/s" "dd MB/s" "cat MB/s" ours/dd ours/cat \
    "consumer CPU" "process CPU"
for cold in "${passes[@]}"; do
    name=$([ "$cold" = yes ] && echo "cold cache" || echo "page cache")
    printf '%-12s %10s %10s %10s %8s %9s %14s %15s\n' "$name" "$(rate "${best[ours-$cold]}")" \
        "$(rate "${best[dd-$cold]}")" "$(rate "${best[cat-$cold]}")" \
        "$(ratio "${best[ours-$cold]}" "${best[dd-$cold]}")" "$(ratio "${best[ours-$cold]}" "${best[cat-$cold]}")" \
        "${cpu_thread[$cold]}" "${cpu_process[$cold]}"
done

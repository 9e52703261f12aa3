#!/usr/bin/env bash
# Quick scan of a large FAT32 image into its catalog through our engine,
# against `fls -r -p` (The Sleuth Kit) listing the same image, in the same
# run.
#
# The image (make_fat_image.py): BENCH_FAT_FILES files (100000) in
# BENCH_FAT_FOLDERS folders (100), long and 8.3 names, a few KiB each,
# contiguous, their times spread over 2000-2029 as on a card used for
# years (every entry's local time then falls in another hour). It is checked with `fsck.fat -n`, and `fls -r -p` must list
# every file and folder. Then, untimed, our listing of the catalog must hold
# the same paths (files and folders) as fls's.
#
# Timed, in turns (the order turning every run), BENCH_FAT_REPEAT times
# each (5, at least 3), whole processes:
#   fls        TZ=UTC fls -r -p IMAGE > listing      (on /dev/shm)
#   ours       bench_fat_scan scan: a new workspace, the image attached as a
#              medium, start_scan type 1 (the quick scan writes the catalog
#              FAT.1/cat.db), the scan context freed
#   ours+list  the same, then every folder's children listed from the
#              catalog with their paths into a listing file (on /dev/shm)
#   ours-utc   ours with TZ=UTC, as fls runs (information only: users run
#              the engine with TZ unset, where every local-time conversion
#              may re-read the time-zone file)
# a warm pass (image read once first), and when the page cache can be
# dropped (root with a writable /proc/sys/vm/drop_caches) a cold pass that
# drops it before every process. The image lies in BENCH_FAT_DIR (default
# $TMPDIR or /tmp: on a disk, so the cold pass reads it from there); the
# workspaces and listings go to BENCH_FAT_OUT (/dev/shm), removed between
# runs.
#
# Printed: median and spread (min-max) of each tool's wall time, our
# in-process scan and listing times, the ratios fls/ours (above 1: ours is
# faster; goal >= 1 for the quick scan, aim 1.5) with their spread over the runs,
# entries per second and peak RSS.
#
# Environment
#   BENCH_FAT_FILES, BENCH_FAT_FOLDERS  the image's tree
#   BENCH_FAT_REPEAT   runs per tool and pass
#   BENCH_FAT_DIR      folder for the image
#   BENCH_FAT_OUT      folder for workspaces and listings (default /dev/shm)
#   BENCH_FAT_IMAGE    use this image instead of generating one (its counts
#                      must match BENCH_FAT_FILES / BENCH_FAT_FOLDERS)
#   BENCH_FAT_BIN      the bench_fat_scan program (default: build*/bench/
#                      bench_fat_scan of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
files=${BENCH_FAT_FILES:-100000}
folders=${BENCH_FAT_FOLDERS:-100}
repeat=${BENCH_FAT_REPEAT:-5}
dir=${BENCH_FAT_DIR:-${TMPDIR:-/tmp}}
out=${BENCH_FAT_OUT:-/dev/shm}
image=${BENCH_FAT_IMAGE:-}
bin=${BENCH_FAT_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_fat_scan.sh "$@"; }

bench_check_counts bench_fat_scan.sh BENCH_FAT_REPEAT "$repeat" BENCH_FAT_FILES "$files" BENCH_FAT_FOLDERS "$folders"
[ -d "$dir" ] || fail "no folder $dir"
[ -d "$out" ] || fail "no folder $out"
bench_find_bin bench_fat_scan.sh "$repo" bench_fat_scan BENCH_FAT_BIN
for tool in fls fsck.fat python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages sleuthkit, dosfstools, python3, time)"
done

work=$(mktemp -d "$dir/zv-bench-fat.XXXXXX")
outs=$(mktemp -d "$out/zv-bench-fat.XXXXXX")
trap 'rm -rf "$work" "$outs"' EXIT
mkdir "$work/stats"

if [ -z "$image" ]; then
    image=$work/card.img
    start=$(date +%s%N)
    python3 "$here/make_fat_image.py" "$image" --files "$files" --folders "$folders" >/dev/null ||
        fail "make_fat_image.py failed"
    echo "image made in $(( ($(date +%s%N) - start) / 1000000 )) ms"
fi
[ -f "$image" ] || fail "no image $image"

fsck.fat -n "$image" > "$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt" >&2; fail "fsck.fat -n rejects $image"; }
# fls's listing without its virtual entries ($MBR, $FAT1, ...) and the
# volume label: "d path" / "r path", sorted.
fls_paths() { sed -n 's,^\([dr]\)/[dr] [0-9]*:\t,\1 ,p' "$1" | grep -v '(Volume Label Entry)$' | LC_ALL=C sort; }
TZ=UTC fls -r -p "$image" > "$outs/fls.txt" || fail "fls failed on $image"
fls_paths "$outs/fls.txt" > "$work/fls.sorted"
[ "$(grep -c '^r ' "$work/fls.sorted")" = "$files" ] && [ "$(grep -c '^d ' "$work/fls.sorted")" = "$folders" ] ||
    fail "fls lists $(grep -c '^r ' "$work/fls.sorted") files and $(grep -c '^d ' "$work/fls.sorted") folders," \
        "not $files and $folders"
entries=$((files + folders))

echo "FAT32 quick scan into the catalog: ours (start_scan type 1) against TZ=UTC fls -r -p, $files files in $folders folders"
echo "tools: $(dpkg-query -W -f '${Package} ${Version}; ' sleuthkit dosfstools libsqlite3-0 2>/dev/null)our tree $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "program: $bin"
echo "image: $image, $(stat -c %s "$image") bytes ($(df -PT "$image" | awk 'NR==2 {print $2}')); $(tail -n 1 "$work/fsck.txt")"
echo "outputs: $outs ($(df -PT "$outs" | awk 'NR==2 {print $2}'))"

# Our listing must hold the same paths as fls's.
"$bin" list "$image" "$outs/check" "$outs/ours.txt" > /dev/null || fail "our scan and listing failed"
LC_ALL=C sort "$outs/ours.txt" > "$work/ours.sorted"
if ! cmp -s "$work/ours.sorted" "$work/fls.sorted"; then
    diff "$work/fls.sorted" "$work/ours.sorted" | head -n 20 >&2
    fail "our listing differs from fls's (first lines above: < fls, > ours)"
fi
echo "listing check: our catalog lists the same $entries paths as fls"
rm -rf "$outs/check" "$outs/ours.txt"

drop=no
if bench_can_drop_cache; then drop=yes; fi

run_tool() { # pass tool
    local start end
    rm -rf "$outs/run" "$outs/listing.txt"
    settle "$1"
    start=$(now)
    case $2 in
        fls) TZ=UTC /usr/bin/time -f %M -o "$work/rss" fls -r -p "$image" > "$outs/listing.txt" ||
                 fail "fls failed" ;;
        ours) /usr/bin/time -f %M -o "$work/rss" "$bin" scan "$image" "$outs/run" > "$work/out" ||
                  fail "our scan failed" ;;
        ours-utc) TZ=UTC /usr/bin/time -f %M -o "$work/rss" "$bin" scan "$image" "$outs/run" > "$work/out" ||
                      fail "our scan failed" ;;
        ours+list) /usr/bin/time -f %M -o "$work/rss" "$bin" list "$image" "$outs/run" "$outs/listing.txt" \
                       > "$work/out" || fail "our scan and listing failed" ;;
    esac
    end=$(now)
    bench_record "$1" "$2" $((end - start)) "$([ "$2" = fls ] || echo keys)"
}

passes=(warm)
if [ $drop = yes ]; then passes+=(cold); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
tools=(fls ours ours+list ours-utc)
for pass in "${passes[@]}"; do
    cat "$image" > /dev/null
    for ((run = 0; run < repeat; run++)); do
        for ((i = 0; i < 4; i++)); do run_tool "$pass" "${tools[(run + i) % 4]}"; done
        for t in ours ours+list ours-utc; do
            paste <(tail -n 1 "$work/stats/$pass.fls.wall") <(tail -n 1 "$work/stats/$pass.$t.wall") |
                awk '{ print $1 / $2 }' >> "$work/stats/$pass.$t.pair"
        done
    done
done
rm -rf "$outs/run" "$outs/listing.txt"

spread() { read -r _ lo hi <<< "$(stat_of "$1")"; printf '%.2f-%.2f' "$lo" "$hi"; }
row() { printf '%-34s %-24s %-10s %s\n' "$@"; }

for pass in "${passes[@]}"; do
    echo
    echo "== $pass pass: $repeat runs each, interleaved; wall times in ms, median (min-max)"
    f=$(median "$pass.fls.wall")
    row "tool" "wall" "entries/s" "peak RSS KB"
    row "fls -r -p" "$(ms "$pass.fls.wall")" "$(awk -v n=$entries -v s="$f" 'BEGIN { printf "%.0f", n / s }')" \
        "$(median "$pass.fls.rss")"
    for t in ours ours+list ours-utc; do
        o=$(median "$pass.$t.wall")
        row "$t (whole process)" "$(ms "$pass.$t.wall")" \
            "$(awk -v n=$entries -v s="$o" 'BEGIN { printf "%.0f", n / s }')" "$(median "$pass.$t.rss")"
    done
    row "  of which start_scan (in-process)" "$(ms "$pass.ours.scan")" "" ""
    row "  of which listing (in-process)" "$(ms "$pass.ours+list.list")" "" ""
    for t in ours ours+list ours-utc; do
        ratio=$(awk -v f="$f" -v o="$(median "$pass.$t.wall")" 'BEGIN { printf "%.2f", f / o }')
        verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 1 ? "met" : "MISSED") }')
        aim=$(awk -v r="$ratio" 'BEGIN { print (r >= 1.5 ? "met" : "not met") }')
        echo "ratio fls/$t: $ratio (runs $(spread "$pass.$t.pair"))$([ $t = ours ] && echo "; goal >= 1: $verdict; aim 1.5: $aim")"
    done
done

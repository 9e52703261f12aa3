#!/usr/bin/env bash
# Recovery of about 1 GiB of files from a FAT32 image through our engine,
# against `cp -r` of the same files, in the same run.
#
# The image (make_fat_image.py): BENCH_RECOVER_FILES files (1000) in
# BENCH_RECOVER_FOLDERS folders (100), random data, sizes log-uniform in
# BENCH_RECOVER_SIZES bytes (524288-2097152: about 1.08 GiB in all), 32 KiB
# clusters, every file contiguous. It is checked with `fsck.fat -n`; then,
# untimed, mtools copies every file out once (`mcopy -s`) into src/ beside
# the image, and sha256sum of every file gives the manifest.
#
# Timed, in turns (the order turning every run), BENCH_RECOVER_REPEAT times
# each (5, at least 3):
#   cp     cp -r src OUT/cp                       (whole process)
#   ours   bench_recover: a new workspace, the image attached as a medium,
#          start_scan type 1, the root of the found file system ticked,
#          scx_recover_marked into OUT/ours. The recovery alone is timed
#          in the process (the scan has its own benchmark); the whole
#          process is reported too.
# a warm pass (image and src read once first), and when the page cache can
# be dropped a cold pass that drops it before every run. The image and src
# lie in BENCH_RECOVER_DIR (default $TMPDIR or /tmp, a disk, so both tools
# read from the same disk in the cold pass); outputs go to BENCH_RECOVER_OUT
# (/dev/shm), removed between runs. After every run of ours the recovered
# files are checked against the manifest: count of byte-identical files.
#
# Printed: throughput in MB/s of file data (10^6 bytes per second), median
# and spread, the ratio ours/cp (goal >= 0.90) with its spread over the
# runs, peak RSS, and the byte-identical count.
#
# Environment
#   BENCH_RECOVER_FILES, BENCH_RECOVER_FOLDERS, BENCH_RECOVER_SIZES  the image
#   BENCH_RECOVER_REPEAT  runs per tool and pass
#   BENCH_RECOVER_DIR     folder for the image and the extracted files
#   BENCH_RECOVER_OUT     folder for the outputs (default /dev/shm)
#   BENCH_RECOVER_BIN     the bench_recover program (default: build*/bench/
#                         bench_recover of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
files=${BENCH_RECOVER_FILES:-1000}
folders=${BENCH_RECOVER_FOLDERS:-100}
sizes=${BENCH_RECOVER_SIZES:-524288-2097152}
repeat=${BENCH_RECOVER_REPEAT:-5}
dir=${BENCH_RECOVER_DIR:-${TMPDIR:-/tmp}}
out=${BENCH_RECOVER_OUT:-/dev/shm}
bin=${BENCH_RECOVER_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_recover.sh "$@"; }

bench_check_counts bench_recover.sh BENCH_RECOVER_REPEAT "$repeat" \
    BENCH_RECOVER_FILES "$files" BENCH_RECOVER_FOLDERS "$folders"
[[ $sizes =~ ^[1-9][0-9]*(-[1-9][0-9]*)?$ ]] || fail "BENCH_RECOVER_SIZES must be SIZE or MIN-MAX, not '$sizes'"
[ -d "$dir" ] || fail "no folder $dir"
[ -d "$out" ] || fail "no folder $out"
bench_find_bin bench_recover.sh "$repo" bench_recover BENCH_RECOVER_BIN
for tool in mcopy fsck.fat python3 sha256sum /usr/bin/time; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages mtools, dosfstools, python3, time)"
done
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d "$dir/zv-bench-recover.XXXXXX")
outs=$(mktemp -d "$out/zv-bench-recover.XXXXXX")
trap 'rm -rf "$work" "$outs"' EXIT
mkdir "$work/stats"
image=$work/card.img

python3 "$here/make_fat_image.py" "$image" --files "$files" --folders "$folders" --sizes "$sizes" \
    --cluster 32768 >/dev/null || fail "make_fat_image.py failed"
fsck.fat -n "$image" > "$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt" >&2; fail "fsck.fat -n rejects $image"; }
mkdir "$work/src"
mcopy -s -n -i "$image" ::/ "$work/src/" || fail "mcopy -s failed"
(cd "$work/src" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) > "$work/manifest"
[ "$(wc -l < "$work/manifest")" = "$files" ] || fail "mcopy extracted $(wc -l < "$work/manifest") files, not $files"
bytes=$(find "$work/src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

echo "Recovery of the whole card: ours (tick the root, scx_recover_marked) against cp -r of the extracted files"
echo "tools: $(dpkg-query -W -f '${Package} ${Version}; ' coreutils mtools dosfstools 2>/dev/null)our tree $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "program: $bin"
echo "image: $image, $(stat -c %s "$image") bytes ($(df -PT "$image" | awk 'NR==2 {print $2}'));" \
    "$files files, $bytes bytes of file data; $(tail -n 1 "$work/fsck.txt")"
echo "outputs: $outs ($(df -PT "$outs" | awk 'NR==2 {print $2}'))"

drop=no
if bench_can_drop_cache; then drop=yes; fi

# The folder holding the card's top folders in our output (the recovery may
# put the card's tree below a folder of its own).
recovered_root() {
    local first
    first=$(cd "$work/src" && ls | head -n 1)
    find "$outs/ours" -type d -name "$first" -printf '%h\n' | head -n 1
}

check_ours() { # pass
    local root good total
    root=$(recovered_root)
    [ -n "$root" ] || fail "no recovered tree in $outs/ours"
    good=$(cd "$root" && sha256sum -c "$work/manifest" 2>/dev/null | grep -c ': OK$' || true)
    total=$(find "$outs/ours" -type f | wc -l)
    add "$1.identical" "$good"
    add "$1.outputs" "$total"
}

run_tool() { # pass tool
    local start end
    rm -rf "$outs/cp" "$outs/ours" "$outs/ws"
    settle "$1"
    start=$(now)
    case $2 in
        cp) /usr/bin/time -f %M -o "$work/rss" cp -r "$work/src" "$outs/cp" || fail "cp -r failed" ;;
        ours) /usr/bin/time -f %M -o "$work/rss" "$bin" "$image" "$outs/ws" "$outs/ours" > "$work/out" ||
                  fail "our recovery failed (see $outs/ws/engine.log)" ;;
    esac
    end=$(now)
    bench_record "$1" "$2" $((end - start)) "$([ "$2" != ours ] || echo keys)"
    if [ "$2" = ours ]; then check_ours "$1"; fi
}

passes=(warm)
if [ $drop = yes ]; then passes+=(cold); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
tools=(cp ours)
for pass in "${passes[@]}"; do
    cat "$image" > /dev/null
    find "$work/src" -type f -exec cat {} + > /dev/null
    for ((run = 0; run < repeat; run++)); do
        for ((i = 0; i < 2; i++)); do run_tool "$pass" "${tools[(run + i) % 2]}"; done
        paste <(tail -n 1 "$work/stats/$pass.cp.wall") <(tail -n 1 "$work/stats/$pass.ours.recover") |
            awk '{ print $1 / $2 }' >> "$work/stats/$pass.pair"
    done
done
rm -rf "$outs/cp" "$outs/ours" "$outs/ws"

rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
mbs() { # key: MB/s of the median (of the fastest-slowest run)
    read -r m lo hi <<< "$(stat_of "$1")"
    printf '%6s (%s-%s)' "$(rate "$m")" "$(rate "$hi")" "$(rate "$lo")"
}
row() { printf '%-32s %-20s %-26s %s\n' "$@"; }

for pass in "${passes[@]}"; do
    echo
    echo "== $pass pass: $repeat runs each, interleaved; median (range)"
    row "" "MB/s" "ms" "peak RSS KB"
    row "cp -r (whole process)" "$(mbs "$pass.cp.wall")" "$(ms "$pass.cp.wall")" "$(median "$pass.cp.rss")"
    row "ours: recovery (in-process)" "$(mbs "$pass.ours.recover")" "$(ms "$pass.ours.recover")" \
        "$(median "$pass.ours.rss")"
    row "ours: scan (in-process)" "" "$(ms "$pass.ours.scan")" ""
    row "ours: whole process" "$(mbs "$pass.ours.wall")" "$(ms "$pass.ours.wall")" ""
    ratio=$(awk -v c="$(median "$pass.cp.wall")" -v o="$(median "$pass.ours.recover")" 'BEGIN { printf "%.2f", c / o }')
    read -r _ lo hi <<< "$(stat_of "$pass.pair")"
    echo "ratio ours/cp throughput: $ratio (runs $(printf '%.2f-%.2f' "$lo" "$hi"));" \
        "goal >= 0.90: $(awk -v r="$ratio" 'BEGIN { print (r >= 0.9 ? "met" : "MISSED") }')"
    ratio=$(awk -v c="$(median "$pass.cp.wall")" -v o="$(median "$pass.ours.wall")" 'BEGIN { printf "%.2f", c / o }')
    echo "ratio ours/cp, our whole process (scan included): $ratio"
    echo "byte-identical: $(sort -n "$work/stats/$pass.identical" | head -n 1) of $files in every run (lowest)," \
        "files written per run: $(sort -n "$work/stats/$pass.outputs" | uniq | tr '\n' ' ')"
done

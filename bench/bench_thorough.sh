#!/usr/bin/env bash
# The thorough scan of a 2 GiB card image through our engine, against
# `dd bs=1M` reading the same image and PhotoRec carving JPEGs from it, in
# the same run.
#
# The card (made here, untimed): a FAT32 image of BENCH_THOROUGH_MIB MiB
# (2048) filled to about 90 % with real JPEGs in DCIM/100BENCH: 16 pictures
# of camera-like noise (1800 x 1200 to 2400 x 1600) made by cjpeg,
# baseline and progressive, every second one with an Exif preview added by
# exiftool, and copies of them made distinct by wrjpgcom (a comment
# segment with the copy's number), about 1.5 to 3.5 MB each. Then every
# fifth photo deleted, the card quick-formatted (mkfs.fat over it, same
# geometry) and BENCH_THOROUGH_NEW (30) new photos written into
# DCIM/101NEW, overwriting the first old ones. sha256sum of every photo
# written gives the manifest, of the preview the preview list.
#
# Checked once, untimed: ours (bench_thorough recover: the scan, then
# "Reconstructed Files" ticked and recovered) and PhotoRec, batch mode,
# JPEG only:
#   photorec /log /d OUT/recup /cmd IMG partition_none,fileopt,everything,disable,jpg,enable,search
# Their files against the manifest: byte-identical photos, Exif previews
# written as files of their own (PhotoRec does; counted apart), damaged
# files (equal to nothing written).
#
# Timed, in turns (the order turning every run), BENCH_THOROUGH_REPEAT times
# each (3, at least 3), whole processes:
#   dd        dd if=IMG of=/dev/null bs=1M
#   dd-direct dd if=IMG of=/dev/null bs=4M iflag=direct (cold pass only:
#             the disk's own limit)
#   ours      bench_thorough scan: a new workspace, the modules registered,
#             start_scan type 3 (block pass, measuring, catalog); it
#             reports its phases, the block pass timed on its own
#   photorec  the command above, writing into OUT
# a warm pass (image read once first), and when the page cache can be
# dropped a cold pass that drops it before every process. The image lies in
# BENCH_THOROUGH_DIR (default $TMPDIR or /tmp: a disk); workspaces and
# PhotoRec's files go to BENCH_THOROUGH_OUT (/dev/shm), removed between runs.
#
# Memory: peak RSS of ours on a 4 GiB sparse image and on a 64 MiB one,
# both of zeros, and on the card extended (sparse) to 4 GiB against its
# first 64 MiB: flat when the differences stay within a few MB.
#
# Printed: throughput in MB/s of the image (10^6 bytes per second), median
# and spread; the block pass against dd (goal >= 0.95); the whole scan
# against PhotoRec (goal >= 10 from the page cache); the photo counts (goal:
# ours >= PhotoRec's, no more damaged); peak RSS.
#
# Environment
#   BENCH_THOROUGH_MIB     card size in MiB (at least 256)
#   BENCH_THOROUGH_NEW     photos written after the format
#   BENCH_THOROUGH_REPEAT  runs per tool and pass
#   BENCH_THOROUGH_DIR     folder for the card and its photos
#   BENCH_THOROUGH_OUT     folder for workspaces and PhotoRec's files
#   BENCH_THOROUGH_WORK    keep the card here and use it again next time
#                          (made when the folder has no card.img)
#   BENCH_THOROUGH_BIN     the bench_thorough program (default: build*/bench/
#                          bench_thorough of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mib=${BENCH_THOROUGH_MIB:-2048}
new=${BENCH_THOROUGH_NEW:-30}
repeat=${BENCH_THOROUGH_REPEAT:-3}
dir=${BENCH_THOROUGH_DIR:-${TMPDIR:-/tmp}}
out=${BENCH_THOROUGH_OUT:-/dev/shm}
keep=${BENCH_THOROUGH_WORK:-}
bin=${BENCH_THOROUGH_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_thorough.sh "$@"; }

bench_check_counts bench_thorough.sh BENCH_THOROUGH_REPEAT "$repeat" BENCH_THOROUGH_MIB "$mib" \
    BENCH_THOROUGH_NEW "$new"
[ "$mib" -ge 256 ] || fail "BENCH_THOROUGH_MIB must be at least 256"
[ -d "$dir" ] || fail "no folder $dir"
[ -d "$out" ] || fail "no folder $out"
bench_find_bin bench_thorough.sh "$repo" bench_thorough BENCH_THOROUGH_BIN
for tool in mkfs.fat mcopy mdel mmd cjpeg wrjpgcom exiftool photorec sha256sum /usr/bin/time; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing (packages dosfstools, mtools, libjpeg-turbo-progs, libimage-exiftool-perl, testdisk, time)"
done

if [ -n "$keep" ]; then
    mkdir -p "$keep"
    work=$(cd "$keep" && pwd)
    outs=$(mktemp -d "$out/zv-bench-thorough.XXXXXX")
    trap 'rm -rf "$outs" "$work/stats"' EXIT
else
    work=$(mktemp -d "$dir/zv-bench-thorough.XXXXXX")
    outs=$(mktemp -d "$out/zv-bench-thorough.XXXXXX")
    trap 'rm -rf "$work" "$outs"' EXIT
fi
rm -rf "$work/stats"
mkdir "$work/stats"
image=$work/card.img
export MTOOLS_SKIP_CHECK=1

# noise <w> <h> <file>: a PPM of random pixels (a sensor's noise at its
# worst: large JPEGs with plenty of stuffed 0xFF bytes).
noise() { { printf 'P6\n%d %d\n255\n' "$1" "$2"; head -c $(($1 * $2 * 3)) /dev/urandom; } > "$3"; }

make_card() {
    local photos=$work/photos base i w h n=0 total=0 limit size kib
    rm -rf "$photos" "$image"
    mkdir -p "$photos/base" "$photos/old" "$photos/new"
    noise 160 120 "$photos/preview.ppm"
    cjpeg -quality 80 -outfile "$photos/preview.jpg" "$photos/preview.ppm"
    sha256sum < "$photos/preview.jpg" | cut -d' ' -f1 > "$work/previews"
    for ((i = 0; i < 16; i++)); do
        w=$((1800 + 200 * (i % 4))); h=$((1200 + 100 * (i % 5)))
        base=$photos/base/$i.jpg
        noise "$w" "$h" "$photos/base/$i.ppm"
        cjpeg -quality $((85 + i % 3 * 5)) $([ $((i % 4)) -ge 2 ] && echo -progressive) \
            -outfile "$base" "$photos/base/$i.ppm"
        rm "$photos/base/$i.ppm"
        if [ $((i % 2)) = 1 ]; then
            exiftool -q -overwrite_original -Make=Zorvant "-ThumbnailImage<=$photos/preview.jpg" "$base"
        fi
    done
    # Old photos up to about 90 % of the card, new ones after the format.
    limit=$((mib * 1024 * 1024 / 10 * 9))
    while [ "$total" -lt "$limit" ]; do
        n=$((n + 1))
        wrjpgcom -comment "zv bench photo $n" "$photos/base/$((n % 16)).jpg" > "$photos/old/IMG_$n.JPG"
        total=$((total + $(stat -c %s "$photos/old/IMG_$n.JPG")))
    done
    for ((i = 1; i <= new; i++)); do
        wrjpgcom -comment "zv bench new photo $i" "$photos/base/$((i * 7 % 16)).jpg" > "$photos/new/NEW_$i.JPG"
    done
    kib=$((mib * 1024))
    mkfs.fat -F 32 -C "$image" "$kib" > /dev/null
    mmd -i "$image" ::/DCIM ::/DCIM/100BENCH
    mcopy -i "$image" "$photos"/old/*.JPG ::/DCIM/100BENCH/
    for ((i = 5; i <= n; i += 5)); do echo "::/DCIM/100BENCH/IMG_$i.JPG"; done | xargs mdel -i "$image"
    mkfs.fat -F 32 "$image" > /dev/null # the quick format, same geometry
    mmd -i "$image" ::/DCIM ::/DCIM/101NEW
    mcopy -i "$image" "$photos"/new/*.JPG ::/DCIM/101NEW/
    (cd "$photos" && sha256sum old/*.JPG new/*.JPG) > "$work/manifest"
    echo "$n old photos ($((total / 1000000)) MB, every fifth deleted), $new new ones" > "$work/card.txt"
    rm -rf "$photos"
}

if [ ! -f "$image" ] || [ ! -f "$work/manifest" ] || [ "$(stat -c %s "$image")" != $((mib * 1024 * 1024)) ]; then
    start=$(now)
    make_card
    echo "card made in $(( ($(now) - start) / 1000000 )) ms"
fi
bytes=$(stat -c %s "$image")

# count <folder> <find-pattern>: "identical previews damaged" of the files
# below the folder against the manifest and the preview list.
count() {
    find "$1" -type f -name "$2" -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | awk '
        FILENAME == ARGV[1] { photo[$1] = 1; next }
        FILENAME == ARGV[2] { preview[$1] = 1; next }
        { if ($1 in photo) { if (!($1 in seen)) identical++; seen[$1] = 1 }
          else if ($1 in preview) previews++; else damaged++ }
        END { print identical + 0, previews + 0, damaged + 0 }' "$work/manifest" "$work/previews" -
}

echo "Thorough scan of a card image: ours (start_scan type 3) against dd bs=1M and PhotoRec (JPEG only)"
echo "tools: $(dpkg-query -W -f '${Package} ${Version}; ' coreutils testdisk dosfstools mtools libjpeg-turbo-progs 2>/dev/null)our tree $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "program: $bin"
echo "image: $image, $bytes bytes ($(df -PT "$image" | awk 'NR==2 {print $2}')); $(cat "$work/card.txt")"
echo "outputs: $outs ($(df -PT "$outs" | awk 'NR==2 {print $2}'))"

# The photos given back, once, untimed.
rm -rf "$outs/check"
"$bin" recover "$image" "$outs/check" "$outs/check/out" > "$work/check.txt" || fail "our scan and recovery failed"
read -r ours_identical ours_previews ours_damaged <<< "$(count "$outs/check/out" '*')"
rm -rf "$outs/check"
mkdir "$outs/pr"
(cd "$outs/pr" && photorec /log /d "$outs/pr/recup" /cmd "$image" \
    partition_none,fileopt,everything,disable,jpg,enable,search < /dev/null > /dev/null 2>&1) || fail "photorec failed"
read -r pr_identical pr_previews pr_damaged <<< "$(count "$outs/pr" '*.jpg')"
rm -rf "$outs/pr"
written=$(wc -l < "$work/manifest")

drop=no
if bench_can_drop_cache; then drop=yes; fi

run_tool() { # pass tool
    local start end
    rm -rf "$outs/run" "$outs/pr"
    settle "$1"
    start=$(now)
    case $2 in
        dd) /usr/bin/time -f %M -o "$work/rss" dd if="$image" of=/dev/null bs=1M 2> /dev/null || fail "dd failed" ;;
        dd-direct) /usr/bin/time -f %M -o "$work/rss" dd if="$image" of=/dev/null bs=4M iflag=direct 2> /dev/null ||
                       fail "dd iflag=direct failed" ;;
        ours) /usr/bin/time -f %M -o "$work/rss" "$bin" scan "$image" "$outs/run" > "$work/out" ||
                  fail "our scan failed" ;;
        photorec) mkdir "$outs/pr"
                  (cd "$outs/pr" && /usr/bin/time -f %M -o "$work/rss" photorec /log /d "$outs/pr/recup" /cmd "$image" \
                      partition_none,fileopt,everything,disable,jpg,enable,search < /dev/null > /dev/null 2>&1) ||
                      fail "photorec failed" ;;
    esac
    end=$(now)
    bench_record "$1" "$2" $((end - start)) "$([ "$2" != ours ] || echo keys)"
}

passes=(warm)
if [ $drop = yes ]; then passes+=(cold); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
for pass in "${passes[@]}"; do
    tools=(dd ours photorec)
    [ "$pass" = cold ] && tools+=(dd-direct)
    cat "$image" > /dev/null
    for ((run = 0; run < repeat; run++)); do
        for ((i = 0; i < ${#tools[@]}; i++)); do run_tool "$pass" "${tools[(run + i) % ${#tools[@]}]}"; done
        # This run's ratios: block pass against dd, whole scan against PhotoRec.
        paste <(tail -n 1 "$work/stats/$pass.dd.wall") <(tail -n 1 "$work/stats/$pass.ours.blocks") |
            awk '{ print $1 / $2 }' >> "$work/stats/$pass.blocks.pair"
        paste <(tail -n 1 "$work/stats/$pass.photorec.wall") <(tail -n 1 "$work/stats/$pass.ours.wall") |
            awk '{ print $1 / $2 }' >> "$work/stats/$pass.whole.pair"
    done
done
rm -rf "$outs/run" "$outs/pr"

# Peak memory against the medium's size.
rss_of() { # image
    rm -rf "$outs/mem"
    /usr/bin/time -f %M -o "$work/rss" "$bin" scan "$1" "$outs/mem" > /dev/null || fail "our scan of $1 failed"
    rm -rf "$outs/mem"
    cat "$work/rss"
}
truncate -s 4G "$outs/zero4g.img"
truncate -s 64M "$outs/zero64m.img"
head -c 64M "$image" > "$outs/card64m.img"
cp --sparse=always "$image" "$outs/card4g.img"
truncate -s 4G "$outs/card4g.img"
rss_zero4g=$(rss_of "$outs/zero4g.img")
rss_zero64m=$(rss_of "$outs/zero64m.img")
rss_card4g=$(rss_of "$outs/card4g.img")
rss_card64m=$(rss_of "$outs/card64m.img")
rm -f "$outs"/*.img

spread() { read -r _ lo hi <<< "$(stat_of "$1")"; printf '%.2f-%.2f' "$lo" "$hi"; }
mbs() { awk -v b="$bytes" -v s="$(median "$1")" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
row() { printf '%-30s %-26s %-8s %s\n' "$@"; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r >= g ? "met" : "MISSED") }'; }

echo
echo "photos: $written written; ours $ours_identical byte-identical, $ours_damaged damaged ($ours_previews previews);" \
    "PhotoRec $pr_identical byte-identical, $pr_damaged damaged, $pr_previews previews as files of their own"
echo "goal ours >= PhotoRec with no more damaged: $([ "$ours_identical" -ge "$pr_identical" ] &&
    [ "$ours_damaged" -le "$pr_damaged" ] && echo met || echo MISSED)"
for pass in "${passes[@]}"; do
    echo
    echo "== $pass pass: $repeat runs each, interleaved; wall times in ms, median (min-max)"
    row "tool" "wall" "MB/s" "peak RSS KB"
    for t in dd dd-direct photorec ours; do
        [ -f "$work/stats/$pass.$t.wall" ] || continue
        row "$t (whole process)" "$(ms "$pass.$t.wall")" "$(mbs "$pass.$t.wall")" "$(median "$pass.$t.rss")"
    done
    row "  ours: start_scan" "$(ms "$pass.ours.scan")" "$(mbs "$pass.ours.scan")" ""
    row "  ours: block pass" "$(ms "$pass.ours.blocks")" "$(mbs "$pass.ours.blocks")" ""
    row "  ours: measuring" "$(ms "$pass.ours.measure")" "" ""
    row "  ours: catalog" "$(ms "$pass.ours.catalog")" "" ""
    r=$(awk -v d="$(median "$pass.dd.wall")" -v o="$(median "$pass.ours.blocks")" 'BEGIN { printf "%.2f", d / o }')
    echo "ratio block pass / dd (throughput): $r (runs $(spread "$pass.blocks.pair")); goal >= 0.95: $(verdict "$r" 0.95)"
    r=$(awk -v p="$(median "$pass.photorec.wall")" -v o="$(median "$pass.ours.wall")" 'BEGIN { printf "%.2f", p / o }')
    goal=""
    [ "$pass" = warm ] && goal="; goal >= 10: $(verdict "$r" 10)"
    echo "ratio whole scan / PhotoRec (throughput): $r (runs $(spread "$pass.whole.pair"))$goal"
done
echo
echo "peak RSS of ours, KB: zeros 4 GiB $rss_zero4g, 64 MiB $rss_zero64m (difference $((rss_zero4g - rss_zero64m)));" \
    "card extended to 4 GiB $rss_card4g, its first 64 MiB $rss_card64m (difference $((rss_card4g - rss_card64m)))"
worst=$(( (rss_zero4g - rss_zero64m) > (rss_card4g - rss_card64m) ? rss_zero4g - rss_zero64m : rss_card4g - rss_card64m ))
echo "memory flat (within 4 MB): $([ "$worst" -le 4096 ] && echo met || echo MISSED)"

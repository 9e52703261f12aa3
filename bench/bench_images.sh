#!/usr/bin/env bash
# Disk images read through a medium by our engine, against
# `qemu-img convert -O raw` of the same images into a tmpfs file, in the
# same run.
#
# Inputs (made here, untimed): a raw source of BENCH_IMAGES_MIB MiB (1024)
# in 1 MiB pieces: one in eight zeros, three text, four random bytes in
# base64 (compressible to about three quarters, as partly incompressible
# card data is); and of it
#   raw        the source itself
#   vmdk       qemu-img convert -O vmdk (monolithic sparse, 64 KiB grains;
#              the zero pieces left unallocated)
#   udif-zlib  bench_images make-udif ... zlib: 1 MiB zlib chunks (zero
#              pieces as zero-fill chunks), 256 MiB per block table
#   udif-raw   the same with raw chunks
# Each image is checked once, untimed, before it is timed: our read of it
# (bench_images dump) and qemu-img's conversion must both give the source
# byte for byte. Nothing is timed otherwise (the image readers must be built
# in: an image no reader accepts would be read as its own bytes and fail
# this check).
#
# Timed, whole processes, BENCH_IMAGES_REPEAT times each (3, at least 3), in
# turns (the order turning every run):
#   ours   bench_images read IMG: registers the path as a disk image,
#          attaches it as an image medium and reads it with the block
#          reader and read-ahead, 512 bytes per request, as the thorough
#          scan does
#   qemu   qemu-img convert -f FMT -O raw IMG OUT/out.raw (removed after
#          each run; OUT a tmpfs)
#   dd     dd if=IMG of=/dev/null bs=1M (the raw image only)
# a warm pass (each image read once first) and, when the page cache can be
# dropped, a cold pass that drops it before every process.
#
# Printed: MB/s of the presented bytes (10^6 bytes per second), median and
# spread; ours/qemu as a throughput ratio (above 1: ours is faster) per
# format with the goals: vmdk and udif-raw >= 0.90, udif-zlib >= 0.83
# (within 1.2x of qemu-img's time); peak RSS.
#
# Environment
#   BENCH_IMAGES_MIB      source size in MiB
#   BENCH_IMAGES_REPEAT   runs per tool, format and pass
#   BENCH_IMAGES_FORMATS  formats to run (default "raw vmdk udif-zlib udif-raw")
#   BENCH_IMAGES_DIR      folder for the images (default $TMPDIR or /tmp)
#   BENCH_IMAGES_OUT      folder of qemu-img's output (default /dev/shm)
#   BENCH_IMAGES_BIN      the bench_images program (default: build*/bench/
#                         bench_images of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mib=${BENCH_IMAGES_MIB:-1024}
repeat=${BENCH_IMAGES_REPEAT:-3}
formats=(${BENCH_IMAGES_FORMATS:-raw vmdk udif-zlib udif-raw})
dir=${BENCH_IMAGES_DIR:-${TMPDIR:-/tmp}}
out=${BENCH_IMAGES_OUT:-/dev/shm}
bin=${BENCH_IMAGES_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_images.sh "$@"; }

bench_check_counts bench_images.sh BENCH_IMAGES_REPEAT "$repeat" BENCH_IMAGES_MIB "$mib"
[ -d "$dir" ] || fail "no folder $dir"
[ -d "$out" ] || fail "no folder $out"
bench_find_bin bench_images.sh "$repo" bench_images BENCH_IMAGES_BIN
for tool in qemu-img base64 cmp /usr/bin/time; do
    command -v "$tool" > /dev/null || fail "$tool is missing (packages qemu-utils, coreutils, diffutils, time)"
done
for f in "${formats[@]}"; do
    case $f in raw | vmdk | udif-zlib | udif-raw) ;; *) fail "unknown format $f" ;; esac
done

work=$(mktemp -d "$dir/zv-bench-images.XXXXXX")
outs=$(mktemp -d "$out/zv-bench-images.XXXXXX")
trap 'rm -rf "$work" "$outs"' EXIT
mkdir "$work/stats"
source=$work/source.raw

start=$(now)
for ((i = 0; i < mib; i++)); do
    case $((i % 8)) in
        0) head -c 1048576 /dev/zero ;;
        1 | 4 | 6) { yes "zorvant card $i: DCIM/100CARD/IMG_$((i * 37)).JPG 4032x3024 f/1.8 1/120 ISO 100" || :; } |
                       head -c 1048576 ;;
        *) head -c 786432 /dev/urandom | base64 -w 0 ;;
    esac
done > "$source"
bytes=$(stat -c %s "$source")
[ "$bytes" = $((mib * 1048576)) ] || fail "the source has $bytes bytes, not $((mib * 1048576))"

declare -A image qfmt
for f in "${formats[@]}"; do
    case $f in
        raw) image[$f]=$source; qfmt[$f]=raw ;;
        vmdk) image[$f]=$work/image.vmdk; qfmt[$f]=vmdk
              qemu-img convert -f raw -O vmdk "$source" "${image[$f]}" || fail "qemu-img could not write the VMDK" ;;
        udif-zlib | udif-raw) image[$f]=$work/$f.dmg; qfmt[$f]=dmg
              "$bin" make-udif "$source" "${image[$f]}" "${f#udif-}" || fail "could not write $f" ;;
    esac
done
echo "inputs made in $(( ($(now) - start) / 1000000 )) ms"

# The untimed check: both readers give the source byte for byte.
for f in "${formats[@]}"; do
    "$bin" dump "${image[$f]}" "$outs/ours.raw" || fail "our read of $f failed"
    cmp -s "$outs/ours.raw" "$source" ||
        fail "our read of $f differs from its source (an image no reader accepts reads as its own bytes)"
    qemu-img convert -f "${qfmt[$f]}" -O raw "${image[$f]}" "$outs/qemu.raw" 2> /dev/null || fail "qemu-img could not read $f"
    cmp -s "$outs/qemu.raw" "$source" || fail "qemu-img's conversion of $f differs from its source"
    rm -f "$outs/ours.raw" "$outs/qemu.raw"
done

echo "Disk images through a medium: ours (bench_images read) against qemu-img convert -O raw to a tmpfs file"
echo "tools: $(dpkg-query -W -f '${Package} ${Version}; ' qemu-utils coreutils 2>/dev/null)our tree $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "program: $bin"
echo "source: $bytes bytes; images in $work ($(df -PT "$work" | awk 'NR==2 {print $2}')), qemu-img writes to $outs ($(df -PT "$outs" | awk 'NR==2 {print $2}'))"
for f in "${formats[@]}"; do echo "  $f: ${image[$f]} ($(stat -c %s "${image[$f]}") bytes)"; done

drop=no
if bench_can_drop_cache; then drop=yes; fi

run_tool() { # pass format tool
    local start end img=${image[$2]}
    rm -f "$outs/out.raw"
    settle "$1"
    start=$(now)
    case $3 in
        ours) /usr/bin/time -f %M -o "$work/rss" "$bin" read "$img" > "$work/out" || fail "our read of $2 failed" ;;
        qemu) /usr/bin/time -f %M -o "$work/rss" qemu-img convert -f "${qfmt[$2]}" -O raw "$img" "$outs/out.raw" \
                  2> /dev/null || fail "qemu-img convert of $2 failed" ;;
        dd) /usr/bin/time -f %M -o "$work/rss" dd if="$img" of=/dev/null bs=1M 2> /dev/null || fail "dd failed" ;;
    esac
    end=$(now)
    rm -f "$outs/out.raw"
    bench_record "$1" "$2.$3" $((end - start)) "$([ "$3" != ours ] || echo keys)"
}

passes=(warm)
if [ $drop = yes ]; then passes+=(cold); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
for pass in "${passes[@]}"; do
    for f in "${formats[@]}"; do cat "${image[$f]}" > /dev/null; done
    for ((run = 0; run < repeat; run++)); do
        for f in "${formats[@]}"; do
            tools=(ours qemu)
            [ "$f" = raw ] && tools+=(dd)
            for ((i = 0; i < ${#tools[@]}; i++)); do run_tool "$pass" "$f" "${tools[(run + i) % ${#tools[@]}]}"; done
            paste <(tail -n 1 "$work/stats/$pass.$f.qemu.wall") <(tail -n 1 "$work/stats/$pass.$f.ours.wall") |
                awk '{ print $1 / $2 }' >> "$work/stats/$pass.$f.pair"
        done
    done
done

spread() { read -r _ lo hi <<< "$(stat_of "$1")"; printf '%.2f-%.2f' "$lo" "$hi"; }
mbs() { awk -v b="$bytes" -v s="$(median "$1")" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
row() { printf '%-28s %-26s %-8s %s\n' "$@"; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r >= g ? "met" : "MISSED") }'; }
goal_of() { case $1 in vmdk | udif-raw) echo 0.90 ;; udif-zlib) echo 0.83 ;; *) echo "" ;; esac; }

for pass in "${passes[@]}"; do
    echo
    echo "== $pass pass: $repeat runs each, interleaved; wall times in ms, median (min-max)"
    for f in "${formats[@]}"; do
        row "$f" "wall" "MB/s" "peak RSS KB"
        for t in ours qemu dd; do
            [ -f "$work/stats/$pass.$f.$t.wall" ] || continue
            row "  $t (whole process)" "$(ms "$pass.$f.$t.wall")" "$(mbs "$pass.$f.$t.wall")" "$(median "$pass.$f.$t.rss")"
        done
        row "  ours: register and attach" "$(ms "$pass.$f.ours.open")" "" ""
        row "  ours: read" "$(ms "$pass.$f.ours.read")" "$(mbs "$pass.$f.ours.read")" ""
        r=$(awk -v q="$(median "$pass.$f.qemu.wall")" -v o="$(median "$pass.$f.ours.wall")" 'BEGIN { printf "%.2f", q / o }')
        goal=$(goal_of "$f")
        echo "  ratio ours / qemu-img (throughput): $r (runs $(spread "$pass.$f.pair"))$([ -z "$goal" ] ||
            echo "; goal >= $goal: $(verdict "$r" "$goal")")"
        if [ -f "$work/stats/$pass.$f.dd.wall" ]; then
            r=$(awk -v d="$(median "$pass.$f.dd.wall")" -v o="$(median "$pass.$f.ours.wall")" 'BEGIN { printf "%.2f", d / o }')
            echo "  ratio ours / dd (throughput): $r"
        fi
    done
done

#!/usr/bin/env bash
# Sequential throughput of the file layer against plain dd, on the same
# machine in the same run: a file of BENCH_FILE_MIB mebibytes (1024 by
# default) is written and then read through kinds 1 (descriptor), 2 (stdio)
# and 3 (block window), in 1 MiB requests, and with `dd bs=1M`. Each pass
# runs BENCH_FILE_REPEAT times (3 by default), dd and ours interleaved in a
# turning order, and the best time counts. Prints MB/s (10^6 bytes per
# second) and ours/dd. dd writes zeros from /dev/zero, ours a pattern.
#
# Between passes everything is synced and, when the script may (as root
# with a writable /proc/sys/vm/drop_caches), the page cache is dropped, so
# each read starts cold; the output says which. Write passes time the
# writes only, not the later flush to the disk, for dd and ours alike.
#
# Environment
#   BENCH_FILE_MIB     size in MiB (e.g. 64 for a quick run)
#   BENCH_FILE_REPEAT  runs per pass
#   BENCH_FILE_DIR     folder for the test file (default $TMPDIR or /tmp)
#   BENCH_FILE_BIN     the bench_file program (default: build*/bench/bench_file
#                      of this repository; build it with `ninja bench_file`)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mib=${BENCH_FILE_MIB:-1024}
repeat=${BENCH_FILE_REPEAT:-3}
dir=${BENCH_FILE_DIR:-${TMPDIR:-/tmp}}
bin=${BENCH_FILE_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_file.sh "$@"; }

bench_positive bench_file.sh BENCH_FILE_MIB "$mib"
bench_positive bench_file.sh BENCH_FILE_REPEAT "$repeat"
[ -d "$dir" ] || fail "no folder $dir"
command -v dd >/dev/null || fail "dd is missing"
[ -n "$bin" ] || bin=$(bench_program "$repo" bench_file)
[ -n "$bin" ] && [ -x "$bin" ] || fail "bench_file program not found: build it (ninja -C <build> bench_file) or set BENCH_FILE_BIN"

work=$(mktemp -d "$dir/zv-bench-file.XXXXXX")
trap 'rm -rf "$work"' EXIT
file=$work/data

drop=no
if bench_can_drop_cache; then drop=yes; fi

settle() {
    sync
    if [ $drop = yes ]; then echo 3 > /proc/sys/vm/drop_caches; fi
}

# Nanoseconds one command takes, after settling.
timed() {
    local start end
    settle
    start=$(date +%s%N)
    "$@" || fail "failed: $*"
    end=$(date +%s%N)
    echo $((end - start))
}

declare -A best
record() { # key nanoseconds
    if [ -z "${best[$1]:-}" ] || [ "$2" -lt "${best[$1]}" ]; then best[$1]=$2; fi
}

echo "File layer against dd: $mib MiB, best of $repeat, 1 MiB requests"
echo "file: $file ($(df -PT "$work" | awk 'NR==2 {print $2}'))"
echo "page cache dropped between passes: $drop$([ $drop = no ] && echo ' (not root or /proc/sys read-only): reads may come from the cache')"
echo "program: $bin"

readers=(dd 1 2 3)
pass() { # who (dd or a kind) and operation
    if [ "$1" = dd ] && [ "$2" = write ]; then
        rm -f "$file"
        record dd-write "$(timed dd if=/dev/zero of="$file" bs=1M count="$mib" status=none)"
    elif [ "$1" = dd ]; then
        record dd-read "$(timed dd if="$file" of=/dev/null bs=1M count="$mib" status=none)"
    else
        [ "$2" = read ] || rm -f "$file"
        record "$1-$2" "$(timed "$bin" "$2" "$1" "$file" "$mib")"
    fi
}

# The order of the passes turns with every run, so none is always first.
# Every read pass, dd's too, reads the same file, written by the last write
# pass with our pattern rather than dd's zeros (virtual disks may store zero
# blocks specially), after one untimed read: dropping the page cache here
# does not drop the cache of a host under a virtual machine, so the first
# read after writing would otherwise be the only one served by the disk.
for ((run = 0; run < repeat; run++)); do
    for ((i = 0; i < 4; i++)); do
        pass "${readers[(run + i) % 4]}" write
    done
    [ "${readers[(run + 3) % 4]}" != dd ] || "$bin" write 1 "$file" "$mib" || fail "writing the read file"
    settle
    dd if="$file" of=/dev/null bs=1M status=none
    for ((i = 0; i < 4; i++)); do
        pass "${readers[(run + i) % 4]}" read
    done
done

rate() { # nanoseconds -> MB/s
    awk -v b=$((mib * 1048576)) -v ns="$1" 'BEGIN { printf "%.0f", b * 1000 / ns }'
}

printf '\n%-14s %10s %10s %9s\n' pass "ours MB/s" "dd MB/s" "ours/dd"
for op in write read; do
    for kind in 1 2 3; do
        ours=${best[$kind-$op]}
        ref=${best[dd-$op]}
        printf '%-14s %10s %10s %9s\n' "kind $kind $op" "$(rate "$ours")" "$(rate "$ref")" \
            "$(awk -v o="$ours" -v r="$ref" 'BEGIN { printf "%.2f", r / o }')"
    done
done

# Shared by the benchmark scripts: sourced, not run.

# fail <script> <text...>: prints the reason and exits.
bench_fail() { local who=$1; shift; echo "$who: $*" >&2; exit 1; }

# bench_positive <script> <name> <value>: the value must be a positive number.
bench_positive() {
    [[ $3 =~ ^[1-9][0-9]*$ ]] || bench_fail "$1" "$2 must be a positive number, not '$3'"
}

# bench_program <repo> <name>: the first built program of that name in a
# build folder of the repository, or nothing.
bench_program() {
    local candidate
    for candidate in "$1"/build/bench/"$2" "$1"/build*/bench/"$2"; do
        if [ -x "$candidate" ]; then echo "$candidate"; return; fi
    done
}

# bench_can_drop_cache: true when this shell may drop the page cache (root
# with a writable /proc/sys/vm/drop_caches; containers often mount /proc/sys
# read-only even for root).
bench_can_drop_cache() {
    [ "$(id -u)" = 0 ] && sync && (echo 3 > /proc/sys/vm/drop_caches) 2>/dev/null
}

# bench_check_counts <script> <repeat-name> <repeat> [<name> <value>]...:
# every value a positive number and the repeat count at least 3.
bench_check_counts() {
    local who=$1 rname=$2 rvalue=$3
    shift 3
    while [ $# -ge 2 ]; do bench_positive "$who" "$1" "$2"; shift 2; done
    bench_positive "$who" "$rname" "$rvalue"
    [ "$rvalue" -ge 3 ] || bench_fail "$who" "$rname must be at least 3"
}

# bench_find_bin <script> <repo> <name> <env-name>: keeps $bin when set, else
# sets it to the built program of that name; stops when neither runs.
bench_find_bin() {
    [ -n "$bin" ] || bin=$(bench_program "$2" "$3")
    [ -n "$bin" ] && [ -x "$bin" ] ||
        bench_fail "$1" "$3 not found: build it (ninja -C <build> $3) or set $4"
}

# Results kept one value a line in $work/stats/<key> of the sourcing script.
add() { echo "$2" >> "$work/stats/$1"; } # key value
seconds() { awk -v ns="$1" 'BEGIN { printf "%.6f", ns / 1e9 }'; } # nanoseconds
# bench_record <pass> <tool> <nanoseconds> [keys]: a run's wall time and peak
# RSS ($work/rss); with "keys", also the "key value" lines our program
# printed ($work/out).
bench_record() {
    add "$1.$2.wall" "$(seconds "$3")"
    add "$1.$2.rss" "$(cat "$work/rss")"
    if [ "${4:-}" = keys ]; then
        while read -r key value; do add "$1.$2.$key" "$value"; done < "$work/out"
    fi
}
now() { date +%s%N; }
settle() { if [ "$1" = cold ]; then sync; echo 3 > /proc/sys/vm/drop_caches; fi; } # pass
# median min max of a key (seconds, kilobytes or ratios).
stat_of() { sort -g "$work/stats/$1" | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }
ms() { # key: "median ms (min-max)"
    read -r m lo hi <<< "$(stat_of "$1")"
    awk -v m="$m" -v lo="$lo" -v hi="$hi" 'BEGIN { printf "%8.1f (%6.1f-%6.1f)", m * 1e3, lo * 1e3, hi * 1e3 }'
}
median() { stat_of "$1" | cut -d' ' -f1; }

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

#!/usr/bin/env bash
# Building a catalog through our `catdb` against the sqlite3 command-line
# tool doing the same work, in the same run; then listing, ticking and
# saving the selection of our catalog.
#
# The tree: BENCH_CATALOG_NODES nodes (100000) in BENCH_CATALOG_FOLDERS
# folders (1000), FAT-like rows (see bench_catalog.cpp). First, untimed,
# `bench_catalog sql` runs our build once with an SQLite statement trace and
# writes every statement it ran, values expanded, to load.sql: the tool then
# does exactly our inserts, index builds, updates and commit, one
# transaction, from text (`sqlite3 cat.db < load.sql`). The two databases
# are checked to hold the same rows, extents, tables and indexes.
#
# Then ours (`bench_catalog build`, then `bench_catalog read` on its
# catalog) and the tool run in turns, BENCH_CATALOG_REPEAT times each (5, at
# least 3), the order turning every run: a warm pass, and when the page
# cache can be dropped (root with a writable /proc/sys/vm/drop_caches) a
# cold pass that drops it before every process. Everything is written to
# BENCH_CATALOG_DIR (/dev/shm, a tmpfs; the cold pass then drops only the
# programs' and libraries' pages). Outputs are removed between runs.
#
# Printed: each step's median and spread (min-max) for both, the ratio
# tool/ours of the build's wall time (whole processes: above 1 ours is
# faster; goal >= 0.67, i.e. ours within 1.5x), its spread over the pairs,
# peak RSS, and the listing and tick times of our catalog (goal < 100 ms).
# The tool's steps come from its ".timer" lines (1 ms resolution; "-" for a
# ratio below it); its insert step is its wall time less its timed steps
# (start-up and reading the text included). Our build process also makes
# the tree in memory before it opens the catalog, which its wall time
# includes and its step times do not.
#
# Environment
#   BENCH_CATALOG_NODES, BENCH_CATALOG_FOLDERS  the tree
#   BENCH_CATALOG_REPEAT  runs per tool and pass
#   BENCH_CATALOG_DIR     folder for the catalogs and load.sql
#   BENCH_CATALOG_BIN     the bench_catalog program (default: build*/bench/
#                         bench_catalog of this repository)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
nodes=${BENCH_CATALOG_NODES:-100000}
folders=${BENCH_CATALOG_FOLDERS:-1000}
repeat=${BENCH_CATALOG_REPEAT:-5}
dir=${BENCH_CATALOG_DIR:-/dev/shm}
bin=${BENCH_CATALOG_BIN:-}

. "$here/bench_common.sh"
fail() { bench_fail bench_catalog.sh "$@"; }

bench_check_counts bench_catalog.sh BENCH_CATALOG_REPEAT "$repeat" \
    BENCH_CATALOG_NODES "$nodes" BENCH_CATALOG_FOLDERS "$folders"
[ "$folders" -lt "$nodes" ] || fail "BENCH_CATALOG_FOLDERS must be below BENCH_CATALOG_NODES"
[ -d "$dir" ] || fail "no folder $dir"
bench_find_bin bench_catalog.sh "$repo" bench_catalog BENCH_CATALOG_BIN

# The reference tool: installed when missing (as root), else a clear stop.
if ! command -v sqlite3 >/dev/null; then
    [ "$(id -u)" = 0 ] || fail "sqlite3 is missing: install the sqlite3 package"
    echo "installing sqlite3"
    apt-get install -y -q sqlite3 >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get install -y -q sqlite3 >/dev/null; } ||
        fail "can't install the sqlite3 package"
fi
[ -x /usr/bin/time ] || fail "/usr/bin/time is missing (package time)"

work=$(mktemp -d "$dir/zv-bench-catalog.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/stats"

drop=no
if bench_can_drop_cache; then drop=yes; fi

echo "Catalog build: ours (catdb, prepared inserts) against the sqlite3 tool (load.sql)," \
    "$nodes nodes in $folders folders"
packages=$(dpkg-query -W -f '${Package} ${Version}; ' sqlite3 libsqlite3-0 2>/dev/null || true)
echo "tools: ${packages}sqlite3 tool $(sqlite3 --version | cut -d' ' -f1), our library $("$bin" version)"
echo "program: $bin"
echo "files: $work ($(df -PT "$work" | awk 'NR==2 {print $2}'))"

mkdir "$work/trace"
"$bin" sql "$work/trace" "$work/load.sql" "$nodes" "$folders" >/dev/null || fail "writing load.sql failed"
rm -rf "$work/trace"
echo "load.sql: $(grep -c '^INSERT' "$work/load.sql") inserts, $(stat -c %s "$work/load.sql") bytes"


# The same content in both catalogs: rows with their links and counts,
# extents, tables, indexes and the layout version.
content() {
    sqlite3 "$1" "SELECT * FROM nodes ORDER BY id; SELECT * FROM extents ORDER BY id, num;
                  SELECT type, name, sql FROM sqlite_master ORDER BY name; PRAGMA user_version;" | md5sum
}

run_ours() { # pass
    local start end
    rm -rf "$work/ours"; mkdir "$work/ours"
    settle "$1"
    start=$(now)
    /usr/bin/time -f %M -o "$work/rss" "$bin" build "$work/ours" "$nodes" "$folders" > "$work/out" ||
        fail "our build failed"
    end=$(now)
    add "$1.ours.wall" "$(seconds $((end - start)))"
    add "$1.ours.rss" "$(cat "$work/rss")"
    settle "$1"
    /usr/bin/time -f %M -o "$work/rss" "$bin" read "$work/ours" "$nodes" "$folders" >> "$work/out" ||
        fail "reading our catalog failed"
    add "$1.ours.read_rss" "$(cat "$work/rss")"
    while read -r key value; do add "$1.ours.$key" "$value"; done < "$work/out"
}

run_cli() { # pass
    local start end wall
    rm -rf "$work/cli"; mkdir "$work/cli"
    settle "$1"
    start=$(now)
    /usr/bin/time -f %M -o "$work/rss" sqlite3 "$work/cli/cat.db" < "$work/load.sql" > "$work/cli.out" ||
        fail "sqlite3 failed on load.sql"
    end=$(now)
    wall=$(seconds $((end - start)))
    add "$1.cli.wall" "$wall"
    add "$1.cli.rss" "$(cat "$work/rss")"
    awk -v wall="$wall" -v pass="$1" '
        /^step / { step = $2; seen[step] = 1; next }
        /^Run Time:/ { sum[step] += $4; timed += $4 }
        END {
            for (s in seen) if (s != "insert") printf "%s.cli.build.%s %.6f\n", pass, s, sum[s]
            printf "%s.cli.build.insert %.6f\n", pass, wall - timed
        }' "$work/cli.out" | while read -r key value; do add "$key" "$value"; done
}

passes=(warm)
if [ $drop = yes ]; then passes+=(cold); else echo "cold pass skipped: the page cache cannot be dropped here"; fi
for pass in "${passes[@]}"; do
    cat "$work/load.sql" > /dev/null
    for ((run = 0; run < repeat; run++)); do
        if ((run % 2 == 0)); then run_ours "$pass"; run_cli "$pass"; else run_cli "$pass"; run_ours "$pass"; fi
        if [ "$pass" = warm ] && [ $run = 0 ]; then
            [ "$(content "$work/ours/cat.db")" = "$(content "$work/cli/cat.db")" ] ||
                fail "our catalog and the tool's differ"
        fi
        tail -n 1 "$work/stats/$pass.cli.wall" | paste - <(tail -n 1 "$work/stats/$pass.ours.wall") |
            awk '{ print $1 / $2 }' >> "$work/stats/$pass.pair_ratio"
    done
done


calc() { awk -v a="$1" -v b="$2" "BEGIN { $3 }"; } # a b awk-statements
row() { printf '%-34s %-24s %-24s %8s\n' "$@"; }

for pass in "${passes[@]}"; do
    echo
    echo "== $pass pass: $repeat runs each, interleaved; times in ms, median (min-max)"
    row "build step" ours "sqlite3 tool" tool/ours
    for step in open insert link count commit; do
        o=$(median "$pass.ours.build.$step")
        c=$(median "$pass.cli.build.$step")
        row "$step" "$(ms "$pass.ours.build.$step")" "$(ms "$pass.cli.build.$step")" \
            "$(calc "$o" "$c" 'if (a > 0 && b > 0) printf "%.2f", b / a; else print "-"')"
    done
    row "sum of steps (ours in-process)" "$(ms "$pass.ours.build.total")" "" ""
    o=$(median "$pass.ours.wall")
    c=$(median "$pass.cli.wall")
    ratio=$(calc "$o" "$c" 'printf "%.2f", b / a')
    row "build, whole process (wall)" "$(ms "$pass.ours.wall")" "$(ms "$pass.cli.wall")" "$ratio"
    echo "build rate: ours $(calc "$nodes" "$o" 'printf "%.0f", a / b') nodes/s," \
        "tool $(calc "$nodes" "$c" 'printf "%.0f", a / b') nodes/s"
    read -r _ rlo rhi <<< "$(stat_of "$pass.pair_ratio")"
    echo "build ratio tool/ours: $ratio (pairs $(printf '%.2f-%.2f' "$rlo" "$rhi"));" \
        "goal >= 0.67: $(calc "$ratio" 0 'print (a >= 0.67 ? "met" : "MISSED")')"
    echo "peak RSS (KB, median): ours build $(median "$pass.ours.rss"), ours read $(median "$pass.ours.read_rss")," \
        "tool $(median "$pass.cli.rss")"
    echo "cat.db: $(median "$pass.ours.build.bytes") bytes"
    echo
    printf '%-44s %-24s %s\n' "our catalog, read side" "ms, median (min-max)" "goal < 100 ms"
    for step in open_build_caches open_read_caches list_all_folders list_slowest_folder node_info_every_child \
        tick_root write_selection untick_deep_file untick_folder close; do
        case $step in
            list_all_folders | tick_root | write_selection)
                verdict=$(calc "$(median "$pass.ours.read.$step")" 0 'print (a < 0.1 ? "met" : "MISSED")') ;;
            *) verdict= ;;
        esac
        printf '%-44s %-24s %s\n' "$step" "$(ms "$pass.ours.read.$step")" "$verdict"
    done
done
echo
echo "list_all_folders: catdb_get_num_children + catdb_get_children_keynums for each of the $folders folders;"
echo "node_info_every_child: one primary-key select of each child's row (as a type's node information),"
echo "  for all $((nodes - 1)) children (no goal; shows what SQL costs per listed child);"
echo "tick_root: catdb_select_node(root, end marker); write_selection: catdb_write_selection_ (sel-state, synced)."

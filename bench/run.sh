#!/usr/bin/env bash
# Measures the command line on generated databases against the least the machine needs for the
# same input and output (the floors), and prints a Markdown table: median wall time and peak
# memory of each operation, each with its ratio to its floor.
#
#   bench/run.sh [S] [M] [L] [XL]   sizes to measure (default: S, M and L)
#
# XL is the format near its limits (250,000 nodes, 300,000,000 installs, 3.9 GB): measured only
# when asked for, never in CI. Measured together with M and L, the script also prints the slope
# of each operation's time and peak memory per gigabyte of database from M to L and from L to XL:
# an operation that grows linearly has the same slope on both stretches.
#
# Run under scripts/smbserver.sh (scripts/smbserver.sh run bench/run.sh L), it also measures the
# open and the commit on the test server's share over loopback, against the same floors, and then
# over a slow link (bench/share_link.sh): through bench/delay_proxy.py, which holds every chunk
# LINK_DELAY_MS (default 10) each way, the open and the commit against smbclient moving the same
# files through it, with the bytes each carried over the database's size, in a second table.
# LINK_DELAY_MS=off leaves the slow link out.
#
# Environment: RUNS (runs per figure, default 5), XL_RUNS (runs per figure of XL, default 1),
# KAVRIN_BENCH_CACHE (where the generated
# databases are kept between runs, default /var/tmp/kavrin-bench), BUILD_DIR (default
# build-bench, built as Release), JOBS (build jobs, default 2), OLDER_THAN (date for the marking,
# default 2024-01-01), WINDOW (0 leaves out the window, measured offscreen when the build has it).
#
# The databases are generated once and reused while the generator's source is unchanged. Every
# commit runs on a fresh copy, made and flushed to the disk before the clock starts. The page
# cache stays warm throughout: what is measured is the tool, not the disk.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
cache=${KAVRIN_BENCH_CACHE:-/var/tmp/kavrin-bench}
build=${BUILD_DIR:-build-bench}
jobs=${JOBS:-2}
older_than=${OLDER_THAN:-2024-01-01}
sizes=("$@")
if [ ${#sizes[@]} -eq 0 ]; then
    sizes=(S M L)
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVRIN_BUILD_TESTS=OFF -DKAVRIN_BUILD_BENCH=ON >/dev/null
fi
targets=(kavrin-dbtool-cli kavrin_floor)
with_window=false
if [ "${WINDOW:-1}" != 0 ] && grep -q '^KAVRIN_BUILD_GUI:BOOL=ON' "$build/CMakeCache.txt"; then
    targets+=(kavrin_window_bench)
    with_window=true
fi
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >/dev/null
cli=$(realpath "$build/cli/kavrin-dbtool-cli")
floor=$(realpath "$build/bench/kavrin_floor")

has_commit=false
if "$cli" --help | grep '^  commit ' >/dev/null; then
    has_commit=true
fi

# nodes, installs per node, titles of each size
declare -A dimensions=([S]="1000 20 500" [M]="20000 50 5000" [L]="100000 100 20000"
    [XL]="250000 1200 50000")
generator_id=$(cat generator/Generator.cpp generator/Generator.h | sha1sum | cut -c1-12)

mkdir -p "$cache"
work=$(mktemp -d "${cache%/}/work.XXXXXX")
link_pid=
trap '[ -z "$link_pid" ] || kill "$link_pid" 2>/dev/null; rm -rf "$work"' EXIT

# Generates size $1 into the cache unless it is there; prints its folder.
database() {
    local name=$1 nodes installs titles
    read -r nodes installs titles <<<"${dimensions[$name]}"
    local folder="$cache/$name-$nodes-$installs-$titles-seed42-$generator_id"
    if [ ! -f "$folder/Kavrin.ttl" ]; then
        rm -rf "$folder.partial"
        "$cli" generate "$folder.partial" --nodes "$nodes" --installs-per-node "$installs" --titles "$titles" \
            --seed 42 >&2
        rm -rf "$folder"
        mv "$folder.partial" "$folder"
    fi
    echo "$folder"
}

# A fresh copy of database $1 in $work/db, on the disk before anything is timed.
fresh_copy() {
    rm -rf "$work/db"
    cp -r "$1" "$work/db"
    sync "$work/db"/Kavrin.*
}

# measure PREPARE COMMAND...: runs PREPARE (untimed) and then COMMAND under /usr/bin/time, $runs
# times; sets wall (median seconds) and peak (median of the maximum resident set, in KiB).
measure() {
    local prepare=$1
    shift
    local walls=() peaks=() start end
    for ((i = 0; i < runs; i++)); do
        $prepare
        start=$EPOCHREALTIME
        if ! /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>"$work/stderr"; then
            echo "failed: $*" >&2
            tail -5 "$work/stderr" >&2
            exit 1
        fi
        end=$EPOCHREALTIME
        walls+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')")
        peaks+=("$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")")
    done
    wall=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    peak=$(printf '%s\n' "${peaks[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
}

nothing() { :; }

# The commit floor: load, the two copies a commit writes (backup and new files) made durable, and
# the load of the reopen.
commit_floor() {
    "$floor" "$1" >/dev/null
    mkdir -p "$1/backup" "$1/new"
    cp "$1"/Kavrin.* "$1/backup/"
    cp "$1"/Kavrin.* "$1/new/"
    sync "$1"/backup/Kavrin.* "$1"/new/Kavrin.* "$1/backup" "$1/new" "$1"
    "$floor" "$1" >/dev/null
}
export -f commit_floor
export floor

# Median of column $2 of the lines in file $1.
column_median() {
    awk -v c="$2" '{ print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

rows=()
window_rows=()
declare -A measured=()  # "size|operation" -> "wall peak_kib", for the slopes
declare -A db_sizes=()  # size -> database KiB
row() {  # size operation wall peak floor_wall floor_peak db_kib
    measured["$1|$2"]="$3 $4"
    rows+=("$(awk -v s="$1" -v op="$2" -v w="$3" -v p="$4" -v fw="$5" -v fp="$6" -v db="$7" 'BEGIN {
        printf "| %s | %s | %.3f | %.2f | %.0f | %.2f | %.2f |", s, op, w, w / fw, p / 1024, p / fp, p / db }')")
}

# The test server's share, when there is one: the database goes into the server's own folder the
# way fresh_copy makes a local one, and the tool reaches it through the share.
with_share=false
if [ -n "${KAVRIN_TEST_SHARE:-}" ] && [ -d "${KAVRIN_SMBSERVER_DIR:-}/share/Kavrin" ]; then
    with_share=true
    share_folder="$KAVRIN_TEST_SHARE\\bench"
    share_disk="$KAVRIN_SMBSERVER_DIR/share/Kavrin/bench"
    share_login=(-U "$KAVRIN_TEST_SHARE_USER%$KAVRIN_TEST_SHARE_PASSWORD")
fi
with_link=false
if $with_share && [ "${LINK_DELAY_MS:-}" != off ]; then
    with_link=true
    # shellcheck source=bench/share_link.sh
    . bench/share_link.sh
fi
share_copy() {
    rm -rf "$share_disk"
    mkdir -p "$share_disk"
    cp "$db"/Kavrin.* "$share_disk/"
    chmod -R a+rwX "$share_disk"
    sync "$share_disk"/Kavrin.*
}

for size in "${sizes[@]}"; do
    if [ -z "${dimensions[$size]:-}" ]; then
        echo "unknown size '$size' (S, M, L or XL)" >&2
        exit 2
    fi
    db=$(database "$size")
    db_kib=$(du -k -c "$db"/Kavrin.* | tail -1 | cut -f1)
    db_sizes[$size]=$db_kib
    runs=${RUNS:-5}
    if [ "$size" = XL ]; then
        runs=${XL_RUNS:-1}
    fi
    echo "measuring $size ($((db_kib / 1024)) MB, $runs runs each)" >&2

    measure nothing "$floor" "$db"
    load_wall=$wall load_peak=$peak
    row "$size" "load floor (C, read whole)" "$wall" "$peak" "$load_wall" "$load_peak" "$db_kib"
    copy_db() { fresh_copy "$db"; }
    measure copy_db bash -c 'commit_floor "$0"' "$work/db"
    commit_wall=$wall commit_peak=$peak
    row "$size" "commit floor (load, 2 x cp, sync, load)" "$wall" "$peak" "$commit_wall" "$commit_peak" "$db_kib"

    measure nothing "$cli" stats "$db"
    row "$size" "stats (open)" "$wall" "$peak" "$load_wall" "$load_peak" "$db_kib"
    stats_wall=$wall
    measure nothing "$cli" mark "$db" --fix-duplicates --older-than "$older_than"
    row "$size" "mark --fix-duplicates --older-than" "$wall" "$peak" "$load_wall" "$load_peak" "$db_kib"
    if $has_commit; then
        measure copy_db "$cli" commit "$work/db" --dry-run --fix-duplicates --older-than "$older_than"
        row "$size" "commit --dry-run" "$wall" "$peak" "$load_wall" "$load_peak" "$db_kib"
        measure copy_db "$cli" commit "$work/db" --fix-duplicates --older-than "$older_than"
        row "$size" "commit" "$wall" "$peak" "$commit_wall" "$commit_peak" "$db_kib"
        # What the commit writes, for smbclient to write over the slow link.
        rm -rf "$work/committed"
        mkdir "$work/committed"
        cp "$work/db"/Kavrin.* "$work/committed/"
    fi
    if $with_share; then
        share_copy
        measure nothing "$cli" stats "$share_folder" "${share_login[@]}"
        row "$size" "stats (open), share over loopback" "$wall" "$peak" "$load_wall" "$load_peak" "$db_kib"
        if $has_commit; then
            measure share_copy "$cli" commit "$share_folder" "${share_login[@]}" --fix-duplicates \
                --older-than "$older_than"
            row "$size" "commit, share over loopback" "$wall" "$peak" "$commit_wall" "$commit_peak" "$db_kib"
        fi
        rm -rf "$share_disk"
    fi
    if $with_link; then
        link_measure "$size"
    fi
    if $with_window; then
        : >"$work/window"
        for ((i = 0; i < runs; i++)); do
            fresh_copy "$db"
            QT_QPA_PLATFORM=offscreen "$build/bench/kavrin_window_bench" "$db" "$work/db" 2>/dev/null \
                >>"$work/window"
        done
        window_rows+=("$(awk -v s="$size" -v n="$(column_median "$work/window" 1)" \
            -v first="$(column_median "$work/window" 2)" -v again="$(column_median "$work/window" 3)" \
            -v sort="$(column_median "$work/window" 4)" -v sortw="$(column_median "$work/window" 5)" \
            -v step="$(column_median "$work/window" 6)" -v stepw="$(column_median "$work/window" 7)" \
            -v gapo="$(column_median "$work/window" 8)" -v gapc="$(column_median "$work/window" 9)" \
            -v key="$(column_median "$work/window" 10)" -v keyw="$(column_median "$work/window" 11)" \
            -v cli="$stats_wall" 'BEGIN {
            printf "| %s | %d | %.3f | %.2f | %.3f | %.3f (%.3f) | %.1f (%.1f) | %.0f | %.0f | %.0f (%.0f) |", s, n,
                first, first / cli, again, sort, sortw, step * 1000, stepw * 1000, gapo * 1000, gapc * 1000,
                key * 1000, keyw * 1000 }')")
    fi
done

echo
echo "$(date +%Y-%m-%d), $(nproc) cores, median of ${RUNS:-5} runs (XL: ${XL_RUNS:-1}); ratios against the floor of each operation"
echo "(the load floor for stats, mark and the dry run; the commit floor for the commit)."
echo
echo "| size | operation | wall s | x floor | peak MB | x floor | x database |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if $with_window; then
    echo
    echo "The window, offscreen, medians over $runs processes: open until the node list is painted (the"
    echo "first open of the process, its ratio to the command line's stats, then a reopen); a click on"
    echo "a column header until the list is painted (the median click and, in brackets, the slowest of"
    echo "the eight); one page of scrolling (the median step and, in brackets, the slowest); the longest"
    echo "wait between two paints, the window asked to repaint every 5 ms, while it opens a copy and"
    echo "while it commits it (and opens it again); a key typed into the filter until the list is painted"
    echo "(the median key and, in brackets, the slowest of sixteen)."
    echo
    echo "| size | rows | open s | x stats | reopen s | sort s | scroll page ms | paint wait open ms | paint wait commit ms | filter key ms |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${window_rows[@]}"
fi
if $with_link; then
    link_print
fi
if [ -n "${db_sizes[M]:-}" ] && [ -n "${db_sizes[L]:-}" ] && [ -n "${db_sizes[XL]:-}" ]; then
    echo
    echo "Slopes per GB of database (10^9 bytes), from M to L and from L to XL, and their ratio (1.00: linear)."
    echo
    echo "| operation | s/GB M-L | s/GB L-XL | ratio | MB/GB M-L | MB/GB L-XL | ratio |"
    echo "|---|---|---|---|---|---|---|"
    for op in "load floor (C, read whole)" "commit floor (load, 2 x cp, sync, load)" "stats (open)" \
        "mark --fix-duplicates --older-than" "commit --dry-run" "commit"; do
        if [ -z "${measured["M|$op"]:-}" ] || [ -z "${measured["XL|$op"]:-}" ]; then
            continue
        fi
        awk -v op="$op" -v m="${measured["M|$op"]}" -v l="${measured["L|$op"]}" -v x="${measured["XL|$op"]}" \
            -v dm="${db_sizes[M]}" -v dl="${db_sizes[L]}" -v dx="${db_sizes[XL]}" 'BEGIN {
            split(m, a, " "); split(l, b, " "); split(x, c, " ")
            gm = dm * 1024 / 1e9; gl = dl * 1024 / 1e9; gx = dx * 1024 / 1e9
            t1 = (b[1] - a[1]) / (gl - gm); t2 = (c[1] - b[1]) / (gx - gl)
            p1 = (b[2] - a[2]) * 1024 / 1e6 / (gl - gm); p2 = (c[2] - b[2]) * 1024 / 1e6 / (gx - gl)
            printf "| %s | %.2f | %.2f | %.2f | %.0f | %.0f | %.2f |\n", op, t1, t2, t2 / t1, p1, p2, p2 / p1 }'
    done
fi
if ! $has_commit; then
    echo
    echo "(this build has no commit command: commit --dry-run and commit were not measured)"
fi

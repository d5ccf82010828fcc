# shellcheck shell=bash
# shellcheck disable=SC2154 # the variables of run.sh, which sources this file
# Sourced by bench/run.sh when it runs under the test server: the open and the commit on the
# share through bench/delay_proxy.py, a link whose round trip is twice LINK_DELAY_MS, each against
# smbclient moving the same files through the same link, and the bytes each carried. A branch
# office's server is reached over such a link; over loopback every round trip is free and the
# number of them a command makes does not show. Uses run.sh's work folder, measure, share_copy,
# the database in $db and the local commit's result in $work/committed.

link_delay=${LINK_DELAY_MS:-10}
if ! [[ $link_delay =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    echo "LINK_DELAY_MS: '$link_delay' is not a number of milliseconds (or off)" >&2
    exit 2
fi
link_rows=()
link_checks=()

# \\HOST:PORT\SHARE, as the test server exports it.
link_server=${KAVRIN_TEST_SHARE#\\\\}
link_share=${link_server#*\\}
link_server=${link_server%%\\*}
link_host=${link_server%:*}
link_smb_port=${link_server##*:}
link_auth=$work/link-auth
(
    umask 077
    printf 'username = %s\npassword = %s\n' "$KAVRIN_TEST_SHARE_USER" "$KAVRIN_TEST_SHARE_PASSWORD" >"$link_auth"
)
link_smbclient=(smbclient "//$link_host/$link_share" -A "$link_auth")
link_fetch="cd bench; get Kavrin.cmp /dev/null; get Kavrin.ist /dev/null; get Kavrin.ttl /dev/null"

# A proxy of its own for each figure: its count, taken when it stops, is that figure's bytes.
link_start() {  # DELAY_MS; sets link_port
    : >"$work/link-port"
    python3 bench/delay_proxy.py 0 "$link_host" "$link_smb_port" "$1" --count "$work/link-count" \
        >"$work/link-port" &
    link_pid=$!
    until [ -s "$work/link-port" ]; do
        if ! kill -0 "$link_pid" 2>/dev/null; then
            link_pid=
            echo "the delaying proxy did not start" >&2
            exit 1
        fi
        sleep 0.05
    done
    read -r link_port <"$work/link-port"
}

link_stop() {  # sets link_up, link_down and link_turns: one run's bytes each way and round trips
    local status=0 up down turns
    kill -TERM "$link_pid"
    wait "$link_pid" || status=$?
    link_pid=
    if [ "$status" -ne 0 ]; then
        echo "the delaying proxy ended with status $status" >&2
        exit 1
    fi
    read -r up down turns <"$work/link-count"
    link_up=$((up / runs)) link_down=$((down / runs)) link_turns=$((turns / runs))
}

# smbclient reports a get that failed and goes on to the next command, its status 0 still: what
# it carried says whether it moved the files.
link_expect() {  # WHAT UP_AT_LEAST DOWN_AT_LEAST
    if [ "$link_up" -lt "$2" ] || [ "$link_down" -lt "$3" ]; then
        echo "$1 carried $link_up bytes up and $link_down down, expected at least $2 and $3" >&2
        exit 1
    fi
}

# size operation tool_wall tool_bytes tool_turns smbclient_wall smbclient_bytes smbclient_turns db_bytes
link_row() {
    link_rows+=("$(awk -v s="$1" -v op="$2" -v tw="$3" -v tb="$4" -v tt="$5" -v sw="$6" -v sb="$7" -v st="$8" \
        -v db="$9" 'BEGIN {
        printf "| %s | %s | %.3f | %.3f | %.2f | %d / %d | %.1f | %.1f | %.2f |", s, op, tw, sw, tw / sw, tt, st,
            tb / 1e6, sb / 1e6, tb / db }')")
}

link_measure() {  # SIZE
    local size=$1 db_bytes new_bytes tool_wall tool_bytes tool_turns location rtt
    rtt=$(awk -v d="$link_delay" 'BEGIN { print 2 * d }')
    db_bytes=$(stat -c %s "$db"/Kavrin.* | awk '{ n += $1 } END { print n }')
    share_copy

    # The proxy must not be the bottleneck: smbclient through it with no delay against direct.
    measure nothing "${link_smbclient[@]}" -p "$link_smb_port" -c "$link_fetch"
    local direct=$wall
    link_start 0
    measure nothing "${link_smbclient[@]}" -p "$link_port" -c "$link_fetch"
    link_stop
    link_expect "smbclient's fetch" 0 "$db_bytes"
    link_checks+=("$(awk -v s="$size" -v d="$direct" -v p="$wall" 'BEGIN {
        printf "%s: %.3f s direct, %.3f s through the proxy with no delay (%.2f x)", s, d, p, p / d }')")

    link_start "$link_delay"
    location="\\\\$link_host:$link_port\\$link_share\\bench"
    measure nothing "$cli" stats "$location" -A "$link_auth"
    link_stop
    tool_wall=$wall tool_bytes=$((link_up + link_down)) tool_turns=$link_turns
    link_start "$link_delay"
    measure nothing "${link_smbclient[@]}" -p "$link_port" -c "$link_fetch"
    link_stop
    link_expect "smbclient's fetch" 0 "$db_bytes"
    link_row "$size" "stats (open), $rtt ms round trip" "$tool_wall" "$tool_bytes" "$tool_turns" "$wall" \
        $((link_up + link_down)) "$link_turns" "$db_bytes"

    if [ -d "$work/committed" ]; then
        link_start "$link_delay"
        location="\\\\$link_host:$link_port\\$link_share\\bench"
        measure share_copy "$cli" commit "$location" -A "$link_auth" --fix-duplicates --older-than "$older_than"
        link_stop
        tool_wall=$wall tool_bytes=$((link_up + link_down)) tool_turns=$link_turns
        # What a commit cannot do with less: read the database, write the new files, read them
        # back. They are the local commit's, which keeps and drops the same records.
        local name rewrite=$link_fetch
        for name in Kavrin.cmp Kavrin.ist Kavrin.ttl; do
            rewrite+="; put \"$work/committed/$name\" $name.new"
            if ! cmp -s "$share_disk/$name" "$work/committed/$name"; then
                echo "warning: the commit on the share left a $name that differs from the local commit's" >&2
            fi
        done
        rewrite+="; get Kavrin.cmp.new /dev/null; get Kavrin.ist.new /dev/null; get Kavrin.ttl.new /dev/null"
        new_bytes=$(stat -c %s "$work/committed"/Kavrin.* | awk '{ n += $1 } END { print n }')
        link_start "$link_delay"
        measure share_copy "${link_smbclient[@]}" -p "$link_port" -c "$rewrite"
        link_stop
        link_expect "smbclient's rewrite" "$new_bytes" $((db_bytes + new_bytes))
        link_row "$size" "commit, $rtt ms round trip" "$tool_wall" "$tool_bytes" "$tool_turns" "$wall" \
            $((link_up + link_down)) "$link_turns" "$db_bytes"
    fi
    rm -rf "$share_disk"
}

link_print() {
    echo
    echo "Over a slow link: the share through bench/delay_proxy.py holding every chunk $link_delay ms each"
    echo "way, against smbclient moving the same files through it (the open: the three files fetched;"
    echo "the commit: fetched, the local commit's three new files put, and fetched again). MB on the"
    echo "wire: both directions, per run (10^6 bytes); x database: the tool's bytes over the database's."
    echo "Round trips: how often the client sent again after the server had sent (tool / smbclient)."
    echo
    echo "| size | operation | tool s | smbclient s | x smbclient | round trips | MB on the wire | smbclient MB | x database |"
    echo "|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${link_rows[@]}"
    echo
    echo "The proxy itself, smbclient fetching the three files:"
    printf '%s\n' "${link_checks[@]}"
}

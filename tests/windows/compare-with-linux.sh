#!/usr/bin/env bash
# The Windows command line under wine against the Linux one on the same database:
#   compare-with-linux.sh WINDOWS_CLI HOLD_FILE LINUX_CLI WINEPREFIX WINE
# --version, stats, nodes, details and commit print the same lines (dates and times aside, which follow each
# platform's user locale: they are compared as dates) and a commit writes the same bytes, the
# backup included, whether the database is reached by a drive path or by a server's share. A
# database file that another program holds open for writing is refused with the system's reason;
# one that another program reads is not. Exit 77 (skipped) without a Linux build to compare with.
set -euo pipefail
windows_cli=$1 holder=$2 linux_cli=$3 prefix=$4 wine=$5
if [ ! -x "$linux_cli" ]; then
    echo "no Linux build of the command line at $linux_cli: nothing to compare with"
    exit 77
fi
# Under the C locale wine takes the user locale en-US and reads arguments as UTF-8.
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
unset DISPLAY

work=$(mktemp -d)
share_link="$prefix/dosdevices/unc/server/kavrin\$"
trap 'exec 3>&- 2>/dev/null || true; rm -rf "$work"; rm -f "$share_link"' EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# A name outside ASCII and a blank: the arguments must reach the program whole.
name="Zürich db"
mkdir -p "$work/linux" "$work/drive" "$work/share"
"$linux_cli" generate "$work/seed" --nodes 400 --installs-per-node 6 --titles 60 --seed 11 \
    --duplicate-rate 0.05 >/dev/null
for where in linux drive share; do
    cp -r "$work/seed" "$work/$where/$name"
done
mkdir -p "$(dirname "$share_link")"
ln -sfn "$work/share/$name" "$share_link"

drive_path="Z:$(printf '%s' "$work/drive/$name" | tr / '\\')"
share_path='\\SERVER\Kavrin$'

# What differs by design: the folder's text, the separator in paths, the backup folder's time
# stamp, and the date forms (Windows, en-US: M/d/yyyy h:mm:ss tt; Linux, C: MM/dd/yy HH:mm:ss).
normalise() {
    FOLDER="$1" perl -CSD -pe '
        BEGIN { $f = $ENV{FOLDER}; utf8::decode($f); }
        s/\Q$f\E/<DB>/g;
        s{(?<![\d/])(\d{1,2})/(\d{1,2})/(\d{4})(?: (\d{1,2}):(\d\d):(\d\d) ([AP])M)?}{
            my $t = defined $4 ? sprintf(" %02d:%s:%s", ($4 % 12) + ($7 eq "P" ? 12 : 0), $5, $6) : "";
            sprintf("%02d/%02d/%02d%s", $1, $2, $3 % 100, $t) }ge;
        s/\d{8}-\d{6}(-\d+)?/<STAMP>/g;
        s{(<DB>|<STAMP>)\\}{$1/}g;
    '
}

commands=(
    "stats"
    "nodes"
    "details 0x0"
    "commit --fix-duplicates --older-than 2026-06-01"
    "nodes"
)
step=0
for command in "${commands[@]}"; do
    step=$((step + 1))
    read -r -a words <<<"$command"
    LC_ALL=C "$linux_cli" "${words[0]}" "$work/linux/$name" "${words[@]:1}" \
        >"$work/linux.out" 2>"$work/linux.err" || fail "linux: $command"
    normalise "$work/linux/$name" <"$work/linux.out" >"$work/expected.out"
    normalise "$work/linux/$name" <"$work/linux.err" >"$work/expected.err"
    for where in drive share; do
        if [ "$where" = drive ]; then location=("$drive_path"); else location=(--server SERVER); fi
        folder=$([ "$where" = drive ] && echo "$drive_path" || echo "$share_path")
        "$wine" "$windows_cli" "${words[0]}" "${location[@]}" "${words[@]:1}" \
            >"$work/$where.out" 2>"$work/$where.err" || fail "$where: $command"
        normalise "$folder" <"$work/$where.out" >"$work/actual.out"
        normalise "$folder" <"$work/$where.err" >"$work/actual.err"
        diff -u "$work/expected.out" "$work/actual.out" || fail "$where: $command: output"
        diff -u "$work/expected.err" "$work/actual.err" || fail "$where: $command: log"
    done
    if [ "$step" = 1 ]; then
        echo "--- stats, Linux:"
        cat "$work/linux.out"
        echo "--- stats, Windows on the share:"
        cat "$work/share.out"
    fi
done

# The version: on Windows read from the program's version resource, on Linux built in.
linux_version=$("$linux_cli" --version)
windows_version=$("$wine" "$windows_cli" --version)
[ "$windows_version" = "$linux_version" ] || fail "version: $windows_version, not $linux_version"
echo "version of the .exe from its resource: $windows_version"

# The committed files and the backup, byte for byte.
compared=0
for where in drive share; do
    for file in Kavrin.cmp Kavrin.ist Kavrin.ttl; do
        cmp "$work/linux/$name/$file" "$work/$where/$name/$file" || fail "$where: $file"
        cmp "$work/linux/$name"/2*/"$file" "$work/$where/$name"/2*/"$file" ||
            fail "$where: backup $file"
        compared=$((compared + 2))
    done
done
echo "committed files and backups byte for byte with Linux's: $compared compared"

# Sharing, with another program holding the install file.
hold() {
    rm -f "$work/in" "$work/held"
    mkfifo "$work/in"
    "$wine" "$holder" "$drive_path\\Kavrin.ist" "$1" <"$work/in" >"$work/held" 2>&1 &
    holder_pid=$!
    exec 3>"$work/in"
    for _ in $(seq 300); do
        grep -q held "$work/held" && return 0
        sleep 0.1
    done
    fail "the holder did not hold the file: $(cat "$work/held")"
}
release() {
    exec 3>&-
    wait "$holder_pid" || true
}

hold write
if "$wine" "$windows_cli" stats "$drive_path" >/dev/null 2>"$work/held.err"; then
    fail "a file held open for writing was read"
fi
message=$(grep -a "^Cannot open file" "$work/held.err" || true)
expected_start="Cannot open file \"$drive_path\\kavrin.ist\". "
if [ "${message:0:${#expected_start}}" != "$expected_start" ] ||
    [ ${#message} -le ${#expected_start} ]; then
    fail "held for writing: $(cat "$work/held.err")"
fi
echo "held for writing by another program: $message"
release

hold read
"$wine" "$windows_cli" stats "$drive_path" >/dev/null 2>"$work/held.err" ||
    fail "a file another program reads could not be read: $(cat "$work/held.err")"
release

if [ "$failures" -ne 0 ]; then
    echo "$failures comparisons failed"
    exit 1
fi
echo "the Windows command line matches the Linux one"

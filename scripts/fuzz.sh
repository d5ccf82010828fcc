#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (FUZZ_SECONDS, default 60)
# from its corpus in the repository (tests/fuzz/corpus/<target>: the inputs of a long run that
# reached new coverage, merged to a small set). The corpus is copied to a scratch folder first:
# new inputs never go into the repository. A crash leaves its input in build-fuzz/ and fails
# the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
scripts/build.sh fuzz
# Target and the longest input it is given: a few records of each file for the database, the
# header and a record for the header, a little more than the largest journal or claim written.
for entry in database:4096 header:4096 journal:4096 claim:2048; do
    target=${entry%%:*}
    max_len=${entry##*:}
    work=$(mktemp -d)
    cp tests/fuzz/corpus/"$target"/* "$work"/
    echo "=== fuzz_$target for ${seconds}s"
    if ! (cd build-fuzz && ./tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
            -max_len="$max_len" -print_final_stats=1 "$work" > fuzz_"$target".log 2>&1); then
        tail -n 40 build-fuzz/fuzz_"$target".log
        echo "fuzz_$target found a failure; the input is in build-fuzz/"
        rm -rf "$work"
        exit 1
    fi
    grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' build-fuzz/fuzz_"$target".log
    rm -rf "$work"
done

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (FUZZ_SECONDS, default 60)
# from the seed corpus in the repository. New inputs go to a scratch folder, not into the
# repository; a crash leaves its input in build-fuzz/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
scripts/build.sh fuzz
for target in database header; do
    work=$(mktemp -d)
    cp tests/fuzz/corpus/"$target"/* "$work"/
    echo "=== fuzz_$target for ${seconds}s"
    if ! (cd build-fuzz && ./tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
            -print_final_stats=1 "$work" > fuzz_"$target".log 2>&1); then
        tail -n 40 build-fuzz/fuzz_"$target".log
        echo "fuzz_$target found a failure; the input is in build-fuzz/"
        exit 1
    fi
    grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' build-fuzz/fuzz_"$target".log
    rm -rf "$work"
done

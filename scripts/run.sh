#!/usr/bin/env bash
# Sets up the machine, builds the tool, makes a sample database in build/sample and starts the
# window on it: the window opens the sample as soon as its information dialog is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
sample=build/sample
if [ ! -f "$sample/Kavrin.cmp" ]; then
    build/cli/kavrin-dbtool-cli generate "$sample" --nodes 500 --installs-per-node 20 --titles 300 --seed 7
fi
echo "Sample database: $(pwd)/$sample"
build/cli/kavrin-dbtool-cli stats "$sample"
exec build/app/kavrin-dbtool --folder "$(pwd)/$sample"

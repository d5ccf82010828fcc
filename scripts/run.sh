#!/usr/bin/env bash
# Sets up the machine, builds the tool, makes a sample database in build/sample and starts the
# window. In the window choose "Folder", type or browse to the sample folder and press "Open DB".
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
exec build/app/kavrin-dbtool

#!/usr/bin/env bash
# Configures and builds a CMake preset (default: "default", into build/).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"

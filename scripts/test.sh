#!/usr/bin/env bash
# Builds the helper and runs every test with one CMake preset (default:
# release; "asan" runs the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
bash scripts/setup.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

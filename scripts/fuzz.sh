#!/usr/bin/env bash
# Runs the JSON fuzz target for a bounded time (seconds, default 60) under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/* "$corpus"/
./build/fuzz/fuzz/json_fuzz -dict=fuzz/json.dict -max_total_time="$seconds" -print_final_stats=1 \
  "$corpus"

#!/usr/bin/env bash
# Runs the JSON fuzz targets, each for a bounded time (seconds, default 60),
# under AddressSanitizer and UndefinedBehaviorSanitizer: the JSON layer against
# itself, and against simdjson, an independent parser.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/* "$corpus"/
# The JSON layer against itself, then against simdjson, each for that long.
for target in json_fuzz json_differential_fuzz; do
  echo "== $target"
  ./build/fuzz/fuzz/$target -dict=fuzz/json.dict -max_total_time="$seconds" -print_final_stats=1 \
    "$corpus"
done

#!/usr/bin/env bash
# Runs every benchmark: the JSON micro-benchmark and the end-to-end
# comparisons with the floor of the same work (cat, dd conv=fsync, ls -l),
# each ending with its targets and whether they are met. RUNS (default 15)
# sets the end-to-end repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target BrindellFileSync
cmake --preset bench >/dev/null
cmake --build --preset bench
echo "== JSON parse + canonical encode"
./build/bench/bench/json_benchmark --benchmark_min_time=1
echo "== End to end"
python3 bench/e2e.py ./build/release/src/BrindellFileSync "${RUNS:-15}"

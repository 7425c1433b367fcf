#!/usr/bin/env bash
# Runs every benchmark: the JSON micro-benchmark and the end-to-end
# comparisons with the floor of the same work (cat, dd conv=fsync, ls -l),
# each ending with its targets and whether they are met. RUNS (default 15)
# sets the end-to-end repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench
cmake --preset release >/dev/null
cmake --build --preset release --target BrindellFileSync
cmake --preset bench >/dev/null
cmake --build --preset bench
echo "== JSON parse and canonical encoding"
results=build/bench/json_benchmark.json
./build/bench/bench/json_benchmark --benchmark_min_time=1 --benchmark_out="$results" \
  --benchmark_out_format=json
python3 - "$results" <<'PY'
import json, sys
runs = {run["name"]: run for run in json.load(open(sys.argv[1]))["benchmarks"]}
print("\ntargets (processor time, decimal units)")
for name, what, limit in [("BM_ParseHistory", "validating parse, history file", 1.5e9),
                          ("BM_ParseAndEncodeHistory", "parse + encode, history file", 0.7e9),
                          ("BM_ParseAndEncodeRequest", "parse + encode, request form", 0.7e9)]:
    rate = runs[name]["bytes_per_second"]
    verdict = "met" if rate >= limit else "NOT met"
    print(f"  {what:<32} {rate / 1e6:6.0f} MB/s  limit {limit / 1e6:4.0f} MB/s  {verdict}")
PY
echo "== End to end"
python3 bench/e2e.py ./build/release/src/BrindellFileSync "${RUNS:-15}"

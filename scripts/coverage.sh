#!/usr/bin/env bash
# Builds with gcov instrumentation, runs the unit and executable tests and
# prints the line coverage of the source files of src/, per file and in total.
# Fails when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
# The figures are printed either way; a failed test still fails the script.
status=0
ctest --preset coverage || status=$?
python3 - "$PWD" <<'PY'
import os, re, subprocess, sys
root = sys.argv[1]
objects = os.path.join(root, "build/coverage/src")
totals = {}
for directory, _, files in os.walk(objects):
    for name in files:
        if not name.endswith(".gcda"):
            continue
        out = subprocess.run(["gcov", "-n", "-o", directory, os.path.join(directory, name)],
                             capture_output=True, text=True, cwd=root).stdout
        for file, percent, lines in re.findall(
                r"File '([^']+)'\nLines executed:([\d.]+)% of (\d+)", out):
            path = os.path.relpath(os.path.join(root, file), root)
            # Headers are counted in each file that includes them, differently.
            if path.startswith("src/") and path.endswith(".cpp"):
                covered = round(float(percent) * int(lines) / 100)
                old = totals.get(path, (0, 0))
                totals[path] = (max(old[0], covered), int(lines))
covered = sum(c for c, _ in totals.values())
lines = sum(n for _, n in totals.values())
for path in sorted(totals):
    c, n = totals[path]
    print(f"{100 * c / n:6.1f}%  {c:4d}/{n:<4d}  {path}")
print(f"line coverage of src/: {100 * covered / lines:.1f}% ({covered} of {lines} lines)")
PY
exit "$status"

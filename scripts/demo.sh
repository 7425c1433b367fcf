#!/usr/bin/env bash
# Builds the helper and runs it on real requests against a sync folder it
# makes in a fresh temporary parent folder: create, publish, list, read, and
# one refusal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
cmake --preset release >/dev/null
cmake --build --preset release --target BrindellFileSync >/dev/null
helper=./build/release/src/BrindellFileSync

parent=$(mktemp -d)
workspace=0f8fad5b-d9cb-469f-a165-70867728950e
folder="$parent/Brindell-$workspace.brindell-sync"
name="$workspace-$(printf 'history' | sha256sum | cut -d' ' -f1).brindell-history.json"

# Shows the request, the raw answer line, the same answer pretty-printed and
# the exit status. jq prints numbers its own way (1.50 as 1.5); the raw line
# is what the helper answered.
ask() {
  local answer status
  echo "> $1"
  set +e
  answer=$(printf '%s' "$1" | "$helper")
  status=$?
  set -e
  printf '%s\n' "$answer"
  printf '%s\n' "$answer" | jq .
  echo "  (exit status $status)"
  echo
}

"$helper" --version

ask "{\"operation\":\"create\",\"folder\":\"$parent\",\"workspaceId\":\"$workspace\"}"
ask "{\"operation\":\"publish\",\"folder\":\"$folder\",\"name\":\"$name\",\"content\":{\"workspaceId\":\"$workspace\",\"events\":[{\"text\":\"Grüße / hello\",\"at\":1.50}]}}"
ask "{\"operation\":\"list\",\"folder\":\"$folder\"}"
ask "{\"operation\":\"read\",\"folder\":\"$folder\",\"name\":\"$name\"}"
ask "{\"operation\":\"read\",\"folder\":\"$folder\",\"name\":\"not-a-history-file.json\"}"
echo "The sync folder is left in $parent for inspection."

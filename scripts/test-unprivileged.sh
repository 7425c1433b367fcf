#!/usr/bin/env bash
# Runs the README's test command as an ordinary account, the way the helper
# really runs: root skips every permission check, so a suite that passes as
# root alone proves little. Makes the account "brindell-test" when it is
# missing, gives it a fresh copy of this working tree (without build/ and
# .git/) and runs scripts/test.sh there as that account, with its own build.
# Needs root, or sudo for a user who may use it.
#
#   bash scripts/test-unprivileged.sh [PRESET]     (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
# The packages first, while root may install them; the account cannot.
bash scripts/setup.sh test
as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
"${as_root[@]}" bash -s brindell-test "$PWD" "$preset" <<'AS_ROOT'
set -euo pipefail
account=$1 source=$2 preset=$3
id "$account" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$account"
home=$(getent passwd "$account" | cut -d: -f6)
copy="$home/checkout"
rm -rf "$copy"
mkdir -p "$copy"
tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
chown -R "$account:" "$copy"
echo "== the tests as $account (uid $(id -u "$account")), in $copy"
runuser -u "$account" -- env HOME="$home" USER="$account" LOGNAME="$account" \
  bash -c 'cd "$1" && bash scripts/test.sh "$2"' _ "$copy" "$preset"
AS_ROOT

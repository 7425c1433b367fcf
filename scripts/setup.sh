#!/usr/bin/env bash
# Installs the Debian 12 packages that the given tasks need (default: all of
# them). Only missing packages are installed; an up-to-date machine is left
# alone, so the other scripts run this before every build.
#
#   bash scripts/setup.sh [build|demo|test|fuzz|bench|package|format]...
#
# Installing needs root: the script uses sudo when run by another user.
set -euo pipefail

declare -A needs=(
  [build]="cmake make g++"
  [demo]="jq"
  [test]="libgtest-dev libgmock-dev python3 python3-jsonschema strace bindfs rclone fuse3 nodejs syncthing"
  [fuzz]="clang libclang-rt-14-dev libsimdjson-dev"
  [bench]="libbenchmark-dev python3 jq time"
  [package]="dpkg-dev lintian"
  [format]="clang-format"
)

tasks=("$@")
((${#tasks[@]})) || tasks=(build demo test fuzz bench package format)

packages=()
for task in "${tasks[@]}"; do
  if [[ -z "${needs[$task]+set}" ]]; then
    echo "setup: unknown task \"$task\"; tasks are: ${!needs[*]}" >&2
    exit 2
  fi
  # Everything but formatting builds the helper first.
  [[ "$task" == format ]] || packages+=(${needs[build]})
  packages+=(${needs[$task]})
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]})) || exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: installing them needs root, and sudo is not installed. Either run" >&2
    echo "  su -c 'apt-get install sudo && adduser $(id -un) sudo'" >&2
    echo "and log in again, or install the packages as root:" >&2
    echo "  su -c 'apt-get install --no-install-recommends ${missing[*]}'" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]} with sudo" >&2
  as_root=(sudo)
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds the Debian package of the helper (without its tests) in
# build/package and checks it with lintian, which fails on any error.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh package
cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls build/package/brindellfilesync_*.deb)
echo "$deb"
lintian --display-info "$deb"

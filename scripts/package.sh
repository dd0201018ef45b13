#!/usr/bin/env bash
# Sets up a fresh machine, builds the Debian package with the release preset and
# prints its path (the build's own output goes to standard error).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >&2
cmake --preset release >&2
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
cmake --build --preset release -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" --target package 2>&1 |
  tee "$log" >&2
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "package.sh: CPack made no .deb" >&2
  exit 1
fi
echo "$deb"

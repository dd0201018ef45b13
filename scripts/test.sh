#!/usr/bin/env bash
# Sets up a fresh machine, builds Quillon and runs its tests.
# Usage: scripts/test.sh [preset]   (debug by default; asan for the sanitizer build)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j 2
# Offscreen Qt so that the window tests run without a display.
QT_QPA_PLATFORM=offscreen ctest --preset "$preset" -j 2

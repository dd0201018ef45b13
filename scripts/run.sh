#!/usr/bin/env bash
# Sets up a fresh machine, builds Quillon and runs it.
# With no arguments it starts the demo on the built-in bus simulator (headless
# when there is no display); any arguments are passed to quillon instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/setup.sh"
# Built in a subshell: quillon itself runs in the caller's directory, where Quillon.ini is.
(
  cd "$root"
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target quillon >/dev/null
)

if [ $# -eq 0 ]; then
  set -- --demo
fi
exec "$root/build/release/bin/quillon" "$@"

#!/usr/bin/env bash
# Starts the operator window under Xvfb on the bus simulator, drives a little
# client traffic through it and saves a screenshot (docs/screenshot.png by default).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/screenshot.png}"

"$root/scripts/setup.sh"
for p in x11-apps imagemagick fonts-dejavu-core; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$p"
  fi
done
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j 2 --target quillon quillon-bussim >/dev/null)

display=":$((90 + RANDOM % 9))"
port=$((20000 + RANDOM % 20000))
work="$(mktemp -d)"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  [ -n "${gw:-}" ] && kill "$gw" 2>/dev/null && wait "$gw" 2>/dev/null
  kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM
sleep 1

(cd "$work" && DISPLAY="$display" exec "$root/build/release/bin/quillon" --demo --port "$port" --listen 127.0.0.1 \
  >/dev/null 2>&1) &
gw=$!
sleep 3

# A client scans the simulated modules and switches a relay: blue rows, answers, bandwidth.
frame() {  # priority address rtr data...
  local prio=$1 addr=$2 rtr=$3; shift 3
  local bytes=(15 "$prio" "$addr" $(( rtr | $# ))) b sum=0
  for b in "$@"; do bytes+=("$b"); done
  for b in "${bytes[@]}"; do sum=$(( sum + b )); done
  bytes+=($(( (256 - sum % 256) % 256 )) 4)
  for b in "${bytes[@]}"; do printf "\\x$(printf %02x "$b")"; done
}
exec 3<>"/dev/tcp/127.0.0.1/$port"
sleep 1
# Status requests for a few seconds, so that both bandwidth graphs have bars.
for i in $(seq 1 60); do frame 251 $(( i % 4 + 1 )) 0 250 15 >&3; sleep 0.1; done
for addr in 1 2 3 4; do frame 251 "$addr" 64 >&3; sleep 0.3; done
frame 251 3 0 229 0 >&3; sleep 0.3
printf '\x0f\xfb\x01\x02\xfa\x01\x00\x04' >&3  # a bad checksum, shown in orange
sleep 0.2
frame 248 1 0 2 1 >&3; sleep 0.6
DISPLAY="$display" xwd -root -silent | convert xwd:- -crop 720x520+346+150 +repage "$out"
exec 3>&-
echo "screenshot: $out"

#!/usr/bin/env bash
# Packet rate: Ping round trips per second through skiffhouse, counted by the handheld
# (one attach, each Ping waiting for its Pong), against the link's ceiling with replies
# of a Pong's size (17 bytes: header and "Pong: ping" with its NUL).
#
#   bench/ping_rate.sh [COUNT] [ROUNDS]     (defaults: 100000 pings, 3 rounds)
#
# Needs the release build (build/bench-release: skiffhouse, handheld_bench, link_ceiling).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
count=${1:-100000}
rounds=${2:-3}
work=$(mktemp -d /tmp/skiff-ping-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
export SKIFFHOUSE_USB_SOCKET=$work/run/usb.sock
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$bin/src/platform/posix/skiffhouse" < /dev/null > "$work/skiffhouse.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$SKIFFHOUSE_USB_SOCKET" ] && break; sleep 0.1; done
for round in $(seq "$rounds"); do
  "$bin/bench/handheld_bench" ping "$count"
  "$bin/bench/link_ceiling" $((count * 4000)) 17 1 | sed 's/ MB_per_s=.*//'
done

#!/usr/bin/env bash
# Packet rate: Ping round trips per second through skiffhouse, counted by the handheld
# (one attach, each Ping waiting for its Pong), against the link's ceiling and the
# design's floor with replies of a Pong's size (17 bytes: header and "Pong: ping" with
# its NUL).
#
#   bench/ping_rate.sh [COUNT] [ROUNDS]     (defaults: 100000 pings, 3 rounds)
#
# Needs the release build (build/bench-release: skiffhouse, handheld_bench, link_ceiling,
# design_floor).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
count=${1:-100000}
rounds=${2:-3}
source scripts/sandbox.sh
skiff_sandbox skiff-ping
skiff_private_home "$work"
"$bin/src/platform/posix/skiffhouse" < /dev/null > "$work/skiffhouse.log" 2>&1 &
pids+=($!)
skiff_wait_for_socket
for round in $(seq "$rounds"); do
  "$bin/bench/handheld_bench" ping "$count"
  "$bin/bench/link_ceiling" $((count * 4000)) 17 1 | sed 's/ MB_per_s=.*//'
  "$bin/bench/design_floor" $((count * 4000)) 17 1 | sed 's/ MB_per_s=.*//'
done

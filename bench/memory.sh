#!/usr/bin/env bash
# Peak resident memory of skiffhouse serving one fetch of each body size: a fresh
# program per size, one attach, one fetch from the loopback server, then VmHWM read from
# /proc/PID/status while the program still runs.
#
#   bench/memory.sh [SIZE...]        (default: 1000000 1000000000)
#
# Needs the release build (build/bench-release: skiffhouse, bench_http_server,
# handheld_bench).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
sizes=("${@:-1000000 1000000000}")
# shellcheck disable=SC2206
sizes=(${sizes[*]})

source scripts/sandbox.sh
skiff_sandbox skiff-memory
"$bin/bench/bench_http_server" > "$work/port" &
pids+=($!)
skiff_wait_until test -s "$work/port"
port=$(cat "$work/port")

kib() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$2/status"; }
printf "%12s  %14s  %14s  %14s  %10s\n" "body bytes" "RSS idle KiB" "VmHWM KiB" "RSS after KiB" "MB/s"
for size in "${sizes[@]}"; do
  run=$work/run-$size
  skiff_private_home "$run"
  "$bin/src/platform/posix/skiffhouse" < /dev/null > "$run/log" 2>&1 &
  desktop=$!
  pids+=($desktop)
  skiff_wait_for_socket
  idle=$(kib VmRSS "$desktop")
  rate=$("$bin/bench/handheld_bench" fetch "http://127.0.0.1:$port/bytes/$size" 1 | sed -n 's/.*MB_per_s=\([0-9.]*\) .*status=0.*/\1/p')
  [ -n "$rate" ] || { echo "the fetch of $size bytes failed" >&2; exit 1; }
  printf "%12s  %14s  %14s  %14s  %10s\n" "$size" "$idle" "$(kib VmHWM "$desktop")" "$(kib VmRSS "$desktop")" "$rate"
  kill -TERM "$desktop"
  wait "$desktop" || true
done

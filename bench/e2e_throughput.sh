#!/usr/bin/env bash
# End-to-end throughput: a body from a loopback HTTP server through skiffhouse to the
# simulated handheld over the USB link, against the link's own ceiling (link_ceiling)
# and a direct libcurl fetch of the same URL, for each body size given.
#
#   bench/e2e_throughput.sh [-r ROUNDS] [-o CSV] [SIZE...]    (default: 100000000)
#
# Needs the release build: cmake --preset release -B build/bench-release &&
#   cmake --build build/bench-release --target skiffhouse link_ceiling bench_http_server \
#     direct_fetch handheld_bench
# Each figure is the median of ROUNDS runs (default 5); the program's runs are fetches
# one after another over one attach, timed by the handheld from its first request packet
# to the reply of its Close. Prints a table; with -o, also writes CSV rows
# (bytes,program_MBps,ceiling_MBps,curl_MBps).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
rounds=5
csv=
while getopts "r:o:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    o) csv=$OPTARG ;;
    *) exit 1 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("${@:-100000000}")

source scripts/sandbox.sh
skiff_sandbox skiff-e2e
skiff_private_home "$work"

"$bin/bench/bench_http_server" > "$work/port" &
pids+=($!)
"$bin/src/platform/posix/skiffhouse" < /dev/null > "$work/skiffhouse.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -S "$SKIFFHOUSE_USB_SOCKET" ] && [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(cat "$work/port")

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

[ -n "$csv" ] && echo "bytes,program_MBps,ceiling_MBps,curl_MBps" > "$csv"
printf "%12s  %14s  %14s  %14s  %16s\n" "body bytes" "program MB/s" "link MB/s" "libcurl MB/s" "program / link"
for size in "${sizes[@]}"; do
  url="http://127.0.0.1:$port/bytes/$size"
  ceiling=$("$bin/bench/link_ceiling" "$size" 4006 "$rounds" | field MB_per_s)
  curl=$("$bin/bench/direct_fetch" "$url" "$rounds" | field MB_per_s)
  program=$("$bin/bench/handheld_bench" fetch "$url" "$rounds" | field MB_per_s | median)
  ratio=$(awk -v p="$program" -v c="$ceiling" 'BEGIN { printf "%.2f", p / c }')
  printf "%12s  %14s  %14s  %14s  %16s\n" "$size" "$program" "$ceiling" "$curl" "$ratio"
  [ -n "$csv" ] && echo "$size,$program,$ceiling,$curl" >> "$csv"
done
# Anything the program logged beyond the usual lines of an attach, a fetch and a detach.
grep -v -E '^(Device count|BBPIN|Opening Channel|Device connected|Client successfully|rawOnClose|Device disconnected|Port closed|No longer connected|Finished handling|USB link: waiting|The settings file .* does not exist yet|\[tray\]|====)' \
  "$work/skiffhouse.log" | sed 's/^/unexpected log line: /' >&2 || true

#!/usr/bin/env bash
# End-to-end throughput: a body from a loopback HTTP server through skiffhouse to the
# simulated handheld over the USB link, against two yardsticks bounced over the same
# kind of socket (the link's own ceiling, link_ceiling, and the floor of the design's
# threading, design_floor) and a direct libcurl fetch of the same URL, for each body
# size given.
#
#   bench/e2e_throughput.sh [-r ROUNDS] [-o CSV] [SIZE...]    (default: 100000000)
#
# Needs the release build: cmake --preset release -B build/bench-release &&
#   cmake --build build/bench-release --target skiffhouse link_ceiling design_floor \
#     bench_http_server direct_fetch handheld_bench
# Each figure is the median of ROUNDS runs (default 5); the program's runs are fetches
# one after another over one attach, timed by the handheld from its first request packet
# to the reply of its Close. CPU figures are per 4000-byte packet: the program's over all
# its runs of a size (every thread of skiffhouse; the handheld's own during its fetches),
# the floor's of its median run. Prints a table; with -o, also writes CSV rows.
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
program=$!
pids+=($program)
for _ in $(seq 100); do
  [ -S "$SKIFFHOUSE_USB_SOCKET" ] && [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(cat "$work/port")

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
# Nanoseconds every thread of the program has run so far.
program_cpu_ns() { cat /proc/"$program"/task/*/schedstat | awk '{ sum += $1 } END { print sum }'; }

[ -n "$csv" ] &&
  echo "bytes,program_MBps,floor_MBps,ceiling_MBps,curl_MBps,desktop_cpu_us,handheld_cpu_us,floor_desktop_cpu_us" > "$csv"
printf "%10s %9s %9s %9s %9s %9s %9s %8s %8s %9s %9s %9s\n" "body" "program" "floor" "link" "libcurl" \
  "program" "floor" "program" "program" "program" "handheld" "floor"
printf "%10s %9s %9s %9s %9s %9s %9s %8s %8s %9s %9s %9s\n" "bytes" "MB/s" "MB/s" "MB/s" "MB/s" \
  "us/pkt" "us/pkt" "/ floor" "/ link" "cpu us" "cpu us" "cpu us"
for size in "${sizes[@]}"; do
  url="http://127.0.0.1:$port/bytes/$size"
  packets=$(( (size + 3999) / 4000 ))
  ceiling=$("$bin/bench/link_ceiling" "$size" 4006 "$rounds" | field MB_per_s)
  floor_line=$("$bin/bench/design_floor" "$size" 4006 "$rounds")
  floor=$(field MB_per_s <<< "$floor_line")
  floor_cpu=$(field desktop_cpu_us <<< "$floor_line")
  curl=$("$bin/bench/direct_fetch" "$url" "$rounds" | field MB_per_s)
  cpu_before=$(program_cpu_ns)
  runs=$("$bin/bench/handheld_bench" fetch "$url" "$rounds")
  cpu_after=$(program_cpu_ns)
  rate=$(field MB_per_s <<< "$runs" | median)
  desktop_cpu=$(awk -v d=$((cpu_after - cpu_before)) -v n="$packets" -v r="$rounds" 'BEGIN { printf "%.1f", d / 1000 / n / r }')
  handheld_cpu=$(field cpu_seconds <<< "$runs" | awk -v n="$packets" '{ s += $1 } END { printf "%.1f", s * 1e6 / n / NR }')
  awk -v s="$size" -v p="$rate" -v f="$floor" -v c="$ceiling" -v l="$curl" -v dc="$desktop_cpu" \
    -v hc="$handheld_cpu" -v fc="$floor_cpu" 'BEGIN {
      printf "%10d %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %8.2f %8.2f %9.1f %9.1f %9.1f\n", s, p, f, c, l,
        4000 / p, 4000 / f, p / f, p / c, dc, hc, fc }'
  [ -n "$csv" ] && echo "$size,$rate,$floor,$ceiling,$curl,$desktop_cpu,$handheld_cpu,$floor_cpu" >> "$csv"
done
# Anything the program logged beyond the usual lines of an attach, a fetch and a detach.
grep -v -E '^(Device count|BBPIN|Opening Channel|Device connected|Client successfully|rawOnClose|Device disconnected|Port closed|No longer connected|Finished handling|USB link: waiting|The settings file .* does not exist yet|\[tray\]|====)' \
  "$work/skiffhouse.log" | sed 's/^/unexpected log line: /' >&2 || true

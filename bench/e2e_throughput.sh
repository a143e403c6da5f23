#!/usr/bin/env bash
# End-to-end throughput: a body from a loopback HTTP server through skiffhouse to the
# simulated handheld over the USB link, against two yardsticks bounced over the same
# kind of socket (the link's own ceiling, link_ceiling, and the floor of the design's
# threading, design_floor) and a direct libcurl fetch of the same URL, for each body
# size given.
#
#   bench/e2e_throughput.sh [-r ROUNDS] [-o CSV] [-b BASELINE_BUILD] [SIZE...]
#                                                              (default: 100000000)
#
# Needs the release build: cmake --preset release -B build/bench-release &&
#   cmake --build build/bench-release --target skiffhouse link_ceiling design_floor \
#     bench_http_server direct_fetch handheld_bench
# Each figure is the median of ROUNDS rounds (default 5). A round runs the ceiling, the
# floor and one fetch through the program one after another, so that all three see the
# machine in the same state; a fetch is timed by the handheld from its first request
# packet to the reply of its Close (attach and open are not counted). With -b, another
# build (its skiffhouse, fetched from by its own handheld_bench) takes a turn in every
# round too, for a before-and-after in one run.
# CPU figures are microseconds per 4000-byte packet during the timed fetch: the program's
# for all its threads, the handheld's own, the floor's desktop process. Prints a table; with -o, also CSV rows.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
rounds=5
csv=
baseline=
while getopts "r:o:b:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    o) csv=$OPTARG ;;
    b) baseline=$OPTARG ;;
    *) exit 1 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("${@:-100000000}")

source scripts/sandbox.sh
skiff_sandbox skiff-e2e
"$bin/bench/bench_http_server" > "$work/port" &
pids+=($!)

skiff_start_program "$work/program" "$bin"
program=$started
if [ -n "$baseline" ]; then
  skiff_start_program "$work/baseline" "$baseline"
  baseline_program=$started
fi
skiff_wait_until test -s "$work/port"
port=$(cat "$work/port")

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p"; }
# Nanoseconds every thread of process $1 has run so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
# fetch_once BUILD PID SOCKET URL PACKETS: one fetch through that program by BUILD's
# handheld; prints "MB/s desktop-cpu-us handheld-cpu-us", CPU figures per packet. The
# handheld reads the program's CPU time around its timed fetch; a handheld that cannot
# (an older build) leaves it to this script, whose figure then includes the attach.
fetch_once() {
  local before after line desktop
  before=$(cpu_ns "$2")
  line=$(SKIFFHOUSE_USB_SOCKET=$3 SKIFF_BENCH_DESKTOP_PID=$2 "$1/bench/handheld_bench" fetch "$4" 1)
  after=$(cpu_ns "$2")
  desktop=$(field desktop_cpu_seconds <<< "$line")
  [ -n "$desktop" ] || desktop=$(awk -v d=$((after - before)) 'BEGIN { print d / 1e9 }')
  awk -v r="$(field MB_per_s <<< "$line")" -v d="$desktop" -v h="$(field cpu_seconds <<< "$line")" \
    -v n="$5" 'BEGIN { printf "%s %.1f %.1f\n", r, d * 1e6 / n, h * 1e6 / n }'
}

# The median of column $1 of this size's rounds: ceiling floor floor-cpu program
# desktop-cpu handheld-cpu baseline baseline-cpu.
col() { cut -d' ' -f"$1" "$work/rounds" | median; }

columns="bytes,program_MBps,floor_MBps,ceiling_MBps,curl_MBps,desktop_cpu_us,handheld_cpu_us,floor_desktop_cpu_us"
[ -n "$baseline" ] && columns+=",baseline_MBps,baseline_desktop_cpu_us"
[ -n "$csv" ] && echo "$columns" > "$csv"
printf "%10s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s" "body" "program" "floor" "link" "libcurl" \
  "program" "floor" "program" "program" "program" "handheld" "floor"
[ -n "$baseline" ] && printf " %8s %8s" "baseline" "baseline"
printf "\n%10s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s" "bytes" "MB/s" "MB/s" "MB/s" "MB/s" \
  "us/pkt" "us/pkt" "/ floor" "/ link" "cpu us" "cpu us" "cpu us"
[ -n "$baseline" ] && printf " %8s %8s" "MB/s" "cpu us"
printf "\n"
for size in "${sizes[@]}"; do
  url="http://127.0.0.1:$port/bytes/$size"
  packets=$(( (size + 3999) / 4000 ))
  : > "$work/rounds"
  for _ in $(seq "$rounds"); do
    ceiling=$("$bin/bench/link_ceiling" "$size" 4006 1 | field MB_per_s)
    floor_line=$("$bin/bench/design_floor" "$size" 4006 1)
    measured=$(fetch_once "$bin" "$program" "$work/program/run/usb.sock" "$url" "$packets")
    then_measured="- -"
    [ -n "$baseline" ] &&
      then_measured=$(fetch_once "$baseline" "$baseline_program" "$work/baseline/run/usb.sock" "$url" "$packets" |
        cut -d' ' -f1,2)
    echo "$ceiling $(field MB_per_s <<< "$floor_line") $(field desktop_cpu_us <<< "$floor_line") $measured $then_measured" \
      >> "$work/rounds"
  done
  curl=$("$bin/bench/direct_fetch" "$url" "$rounds" | field MB_per_s)
  rate=$(col 4)
  floor=$(col 2)
  ceiling=$(col 1)
  awk -v s="$size" -v p="$rate" -v f="$floor" -v c="$ceiling" -v l="$curl" -v dc="$(col 5)" \
    -v hc="$(col 6)" -v fc="$(col 3)" 'BEGIN {
      printf "%10d %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.2f %8.2f %8.1f %8.1f %8.1f", s, p, f, c, l,
        4000 / p, 4000 / f, p / f, p / c, dc, hc, fc }'
  [ -n "$baseline" ] && printf " %8.1f %8.1f" "$(col 7)" "$(col 8)"
  printf "\n"
  row="$size,$rate,$floor,$ceiling,$curl,$(col 5),$(col 6),$(col 3)"
  [ -n "$baseline" ] && row+=",$(col 7),$(col 8)"
  [ -n "$csv" ] && echo "$row" >> "$csv"
done
# Anything the programs logged beyond the usual lines of an attach, a fetch and a detach.
for log in "$work"/*/skiffhouse.log; do
  grep -v -E '^(Device count|BBPIN|Opening Channel|Device connected|Client successfully|rawOnClose|Device disconnected|Port closed|No longer connected|Finished handling|USB link: waiting|The settings file .* does not exist yet|\[tray\]|====)' \
    "$log" | sed 's/^/unexpected log line: /' >&2 || true
done

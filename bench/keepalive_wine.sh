#!/usr/bin/env bash
# Small fetches over a distance by the Windows program under Wine: FETCHES fetches
# (default 30) of a 10240-byte file over HTTP through delay_relay (10 ms each way, a new
# connection's first bytes 30 ms after connect), by skiffhouse.exe of the mingw build and,
# with -b, of another mingw build, each in a copy of the build's Wine prefix with the
# stand-in device manager, fetched from by the native handheld_bench over the TCP link.
# Only HTTP: trusting a test authority under Wine needs a test-only option the shipped
# program does not have.
#
#   bench/keepalive_wine.sh [-r ROUNDS] [-n FETCHES] [-b BASELINE_MINGW_BUILD]
#
# Needs build/mingw (skiffhouse, skiffhouse-standin, its prepared wineprefix), the native
# release build (handheld_bench, delay_relay) and Xvfb. Prints ms per fetch and the
# connections each batch opened, medians of ROUNDS rounds (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${SKIFF_BENCH_BUILD:-build/bench-release}
mingw=build/mingw
rounds=5
fetches=30
baseline=
while getopts "r:n:b:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    n) fetches=$OPTARG ;;
    b) baseline=$OPTARG ;;
    *) exit 1 ;;
  esac
done

source scripts/sandbox.sh
skiff_sandbox skiff-keepalive-wine
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" > /dev/null 2>&1 &
pids+=($!)
python3 bench/keepalive_server.py > "$work/http.port" &
pids+=($!)
skiff_wait_until test -s "$work/display"
skiff_wait_until test -s "$work/http.port"
export DISPLAY=":$(head -1 "$work/display")" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }

# start_program NAME BUILD PORT: BUILD's skiffhouse.exe in a prefix of its own, its USB
# link on PORT, with the stand-in registered; waits until the link listens.
start_program() {
  local prefix=$work/$1
  cp -a "$mingw/wineprefix" "$prefix"
  WINEPREFIX=$prefix /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1
  WINEPREFIX=$prefix /usr/lib/wine/wine64 regsvr32 /s "$(winpath "$2/src/platform/win32/skiffhouse-standin.dll")"
  WINEPREFIX=$prefix SKIFFHOUSE_USB_PORT=$3 SKIFFHOUSE_TEST_WATCH_MS=100 \
    /usr/lib/wine/wine64 "$(winpath "$2/src/platform/win32/skiffhouse.exe")" > "$work/$1.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do
    (echo > "/dev/tcp/127.0.0.1/$3") 2> /dev/null && return 0
    sleep 0.1
  done
  echo "skiffhouse.exe of $2 did not start" >&2
  exit 1
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
start_program program "$mingw" "$port"
if [ -n "$baseline" ]; then
  baseline_port=$(free_port)
  start_program baseline "$baseline" "$baseline_port"
fi

# batch PORT: one batch through the program whose link is on PORT, through a relay of its
# own; sets `result` to "ms-per-fetch connections".
serial=0
batch() {
  serial=$((serial + 1))
  local count=$work/relay$serial.count out relay
  echo 0 > "$count"
  "$bin/bench/delay_relay" "$(cat "$work/http.port")" 10 30 "$count" > "$work/relay$serial.port" &
  relay=$!
  pids+=("$relay")
  skiff_wait_until test -s "$work/relay$serial.port"
  out=$(SKIFFHOUSE_USB_PORT=$1 "$bin/bench/handheld_bench" fetch \
    "http://127.0.0.1:$(cat "$work/relay$serial.port")/bytes/10240" "$fetches") || {
    echo "a fetch failed: $out" >&2
    exit 1
  }
  result=$(awk -v n="$fetches" -v c="$(cat "$count")" \
    '{ if (match($0, / seconds=[0-9.]+/)) total += substr($0, RSTART + 9, RLENGTH - 9) }
     END { printf "%.2f %d\n", total * 1000 / n, c }' <<< "$out")
  kill "$relay" 2> /dev/null || true
}

: > "$work/rounds"
for _ in $(seq "$rounds"); do
  batch "$port"
  line=$result
  if [ -n "$baseline" ]; then
    batch "$baseline_port"
    line+=" $result"
  fi
  echo "$line" >> "$work/rounds"
done
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
col() { cut -d' ' -f"$1" "$work/rounds" | median; }
echo "Windows program under Wine: $fetches fetches of 10240 bytes over HTTP, 20 ms round trip; medians of $rounds rounds"
printf "%10s %9s" "ms/fetch" "conns"
[ -n "$baseline" ] && printf " %10s %9s" "baseline" "baseline"
printf "\n%10.1f %9d" "$(col 1)" "$(col 2)"
[ -n "$baseline" ] && printf " %10.1f %9d" "$(col 3)" "$(col 4)"
printf "\n"
for prefix in program baseline; do
  [ -d "$work/$prefix" ] && WINEPREFIX=$work/$prefix /usr/lib/wine/wineserver -k > /dev/null 2>&1 || true
done

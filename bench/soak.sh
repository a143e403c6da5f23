#!/usr/bin/env bash
# Endurance and soak: one skiffhouse serves attach after attach, each attach making
# FETCHES fetches of a BODY-byte body from a loopback server and then detaching. After
# every attach the program's resident size, peak, open descriptors and threads are
# sampled from /proc. At the end its log is checked line by line: every line must be one
# an attach, a fetch or a detach writes, and their counts must match the attaches made.
#
#   bench/soak.sh [-n ATTACHES | -t SECONDS] [-f FETCHES] [-b BODY] [-o CSV] [-d BUILD_DIR]
#
# Defaults: -n 100 -f 10 -b 1000000 -d build/bench-release (build skiffhouse,
# bench_http_server and handheld_bench there first). With a debug (AddressSanitizer)
# build directory the program's leak report at exit is shown (ASAN_OPTIONS=atexit=1 also
# shows that the program went through its normal exit, where the leak check runs).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bench-release
attaches=100
seconds=0
fetches=10
body=1000000
csv=
while getopts "n:t:f:b:o:d:" option; do
  case $option in
    n) attaches=$OPTARG ;;
    t) seconds=$OPTARG; attaches=0 ;;
    f) fetches=$OPTARG ;;
    b) body=$OPTARG ;;
    o) csv=$OPTARG ;;
    d) bin=$OPTARG ;;
    *) exit 1 ;;
  esac
done
bench_bin=${SKIFF_BENCH_BUILD:-build/bench-release}/bench

source scripts/sandbox.sh
skiff_sandbox skiff-soak
skiff_private_home "$work"

"$bench_bin/bench_http_server" > "$work/port" &
pids+=($!)
"$bin/src/platform/posix/skiffhouse" < /dev/null > "$work/skiffhouse.log" 2> "$work/skiffhouse.err" &
desktop=$!
pids+=($desktop)
for _ in $(seq 300); do
  [ -S "$SKIFFHOUSE_USB_SOCKET" ] && [ -s "$work/port" ] && break
  sleep 0.1
done
url="http://127.0.0.1:$(cat "$work/port")/bytes/$body"

status_field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$desktop/status"; }
sample() {
  echo "$(( $(date +%s) - start )),$1,$(( $1 * fetches )),$(status_field VmRSS),$(status_field VmHWM),$(ls "/proc/$desktop/fd" | wc -l),$(status_field Threads)"
}

out=${csv:-$work/samples.csv}
echo "seconds,attaches,fetches,rss_kib,hwm_kib,fds,threads" > "$out"
start=$(date +%s)
sample 0 >> "$out"
done_attaches=0
failed=0
while :; do
  if [ "$attaches" -gt 0 ]; then
    [ "$done_attaches" -ge "$attaches" ] && break
  elif [ $(( $(date +%s) - start )) -ge "$seconds" ]; then
    break
  fi
  if ! "$bench_bin/handheld_bench" fetch "$url" "$fetches" > "$work/last.txt" 2>&1; then
    failed=$((failed + 1))
    sed 's/^/failed attach: /' "$work/last.txt" >&2
  fi
  done_attaches=$((done_attaches + 1))
  sample "$done_attaches" >> "$out"
done
# Let the program finish the last detach before its log is read.
for _ in $(seq 50); do
  [ "$(grep -c '^Finished handling client' "$work/skiffhouse.log" || true)" -ge "$done_attaches" ] && break
  sleep 0.1
done
kill -TERM "$desktop"
desktop_status=0
wait "$desktop" || desktop_status=$?

first=$(sed -n 2p "$out")
last=$(tail -n 1 "$out")
echo "skiffhouse ended with status $desktop_status after SIGTERM"
echo "attaches: $done_attaches, fetches: $((done_attaches * fetches)) of $body bytes, failed attaches: $failed"
echo "first sample (seconds,attaches,fetches,rss_kib,hwm_kib,fds,threads): $first"
echo "last sample:                                                    $last"
awk -F, 'NR > 2 { if (min == "" || $4 < min) min = $4; if ($4 > max) max = $4;
                   if (fmin == "" || $6 < fmin) fmin = $6; if ($6 > fmax) fmax = $6 }
         END { printf "after the first attach: RSS %d..%d KiB, descriptors %d..%d\n", min, max, fmin, fmax }' "$out"

# The log: each attach writes the same lines once; nothing else may appear.
expected='^(Device count > 0|Device count is 0|BBPIN: 2a0f1e3c|Opening Channel: SkiffhouseUSB|Device connected!|Client successfully connected|rawOnClose|Device disconnected|Port closed|No longer connected|Finished handling client|USB link: waiting for handhelds on .*|The settings file .* does not exist yet; using defaults|\[tray\] .*|==== .* ====.*)$'
unexpected=$(grep -c -v -E "$expected" "$work/skiffhouse.log" || true)
echo "log lines: $(wc -l < "$work/skiffhouse.log"), unexpected: $unexpected"
{ grep -v -E "$expected" "$work/skiffhouse.log" || true; } | head -20 | sed "s/^/  unexpected: /"
for line in "Client successfully connected" "Finished handling client" "Device disconnected"; do
  count=$(grep -c -x "$line" "$work/skiffhouse.log" || true)
  echo "  \"$line\": $count (attaches: $done_attaches)"
done
if [ -s "$work/skiffhouse.err" ]; then
  echo "standard error of skiffhouse:"
  grep -E "LeakSanitizer|SUMMARY|ERROR|exit stats" "$work/skiffhouse.err" | head -20 || true
  echo "  ($(wc -l < "$work/skiffhouse.err") lines)"
fi
